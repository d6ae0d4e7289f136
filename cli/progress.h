// The progress line: on a long merge written to a file, one line on a
// terminal's standard error, redrawn a few times a second, in the manner of
// pv: "opening 12/480" while a slow start-up opens the inputs; then how
// much of the inputs' text the merge has read (percent, estimated for
// compressed files from their ratio so far, shown once that estimate has
// settled, never going back), the log bytes written and their rate, and
// the time left (both from the last few seconds), or "waiting for input"
// once a live input has sent nothing for about a second. Percent and
// time left need an input of known size; the rest shows for pipes alone.
// It fits the terminal's width, dropping whole fields, and is
// erased before any message, before exit, and when SIGINT, SIGTERM or
// SIGHUP end the process. It is shown only when standard output is a
// regular file (or /dev/null) and standard error a terminal that can erase
// a line: never into a pipe's reader's screen, a script, cron or a dumb
// terminal.
#pragma once

#include <cstddef>
#include <cstdint>

struct log_input;
struct output;

// The clock the line is timed by, passed in: seconds from any fixed
// moment, never going back.
struct clock_seam {
  double (*now)(void* ctx) = nullptr;  // null: the system's monotonic clock
  void* ctx = nullptr;
};

// What a rate and time left are told from: what was written, and the
// share of the text read, at a moment.
struct progress_sample {
  double at = 0, written = 0, fraction = 0;
};
inline constexpr size_t kProgressSamples = 64;

// One run's line. Set up by progress_begin; the fields are its own.
struct progress_line {
  clock_seam clock;
  int out_fd = -1, err_fd = -1;  // the merge's output; where the line is drawn
  bool enabled = false;
  bool shown = false;  // a line is on the screen
  double start = 0, last = 0;
  const log_input* inputs = nullptr;
  size_t n = 0;
  // Each input's text read but not yet written, kept by the merge (or null).
  const uint64_t* unwritten = nullptr;
  const output* out = nullptr;
  bool sized = false;   // an input is a regular file: percent can be told
  double fraction = 0;  // the most drawn: it never goes back
  // When the bytes written last changed, and to what.
  double changed = 0;
  uint64_t seen = 0;
  // Samples since the merge first wrote, oldest first, in a ring.
  progress_sample samples[kProgressSamples];
  size_t first = 0, count = 0;
};

// Starts timing, before the inputs are opened, for a merge written to
// out_fd with err_fd as standard error. Shows nothing unless the line is
// wanted, as above; when it is, SIGINT, SIGTERM and SIGHUP erase it.
void progress_begin(progress_line& line, const clock_seam& clock, int out_fd, int err_fd);

// Start-up has opened `opened` of n inputs: shown once start-up has taken
// about a second.
void progress_opening(progress_line& line, size_t opened, size_t n);

// The merge of these inputs (opened and primed) into `out` begins.
void progress_start(progress_line& line, const log_input* inputs, size_t n, const output& out);

// Redraws the line when the merge has run about a second and the last
// drawing is a quarter of a second old. For output::after_write, with the
// line as its argument.
void progress_tick(void* line);

// The merge waits on a live input: told before it waits, and about once
// a second while it does. The line says "waiting for input" once nothing
// has been written for about a second.
void progress_waiting(progress_line& line);

// Erases the line if one is shown.
void progress_erase(progress_line& line);
