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

struct log_input;
struct output;

// The clock, in seconds; tests replace it.
extern double (*progress_clock)();

// Starts timing, before the inputs are opened. Shows nothing unless the
// line is wanted, as above.
void progress_begin();

// Start-up has opened `opened` of n inputs: shown once start-up has taken
// about a second.
void progress_opening(size_t opened, size_t n);

// The merge of these inputs (opened and primed) into `out` begins.
void progress_start(const log_input* inputs, size_t n, const output& out);

// Redraws the line when the merge has run about a second and the last
// drawing is a quarter of a second old. For output::after_write.
void progress_tick(void*);

// The merge waits on a live input: told before it waits, and about once
// a second while it does. The line says "waiting for input" once nothing
// has been written for about a second.
void progress_waiting(void*);

// Erases the line if one is shown.
void progress_erase();
