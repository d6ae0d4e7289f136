#include "cli/progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "input/log_input.h"
#include "output/output.h"

namespace {

double monotonic_seconds(void*) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

constexpr double kQuietStart = 1.0;  // seconds before the line first shows
constexpr double kRedraw = 0.25;     // seconds between drawings, at least
constexpr double kStalled = 1.0;     // nothing arrived this long: waiting
constexpr double kWindow = 10.0;     // rate and time left over this much
constexpr const char kErase[] = "\r\033[K";

// Rate and time left are told from the samples of the last kWindow seconds.
using sample = progress_sample;
constexpr size_t kSamples = kProgressSamples;

// Read by the signal handler, which can be given nothing else: the
// descriptor a line is shown on, or -1. Only a run that draws the line
// sets it, and only on a terminal.
volatile sig_atomic_t shown_on = -1;

// Erases the line, then lets the signal end the process as it would have.
void on_signal(int sig) {
  const int fd = shown_on;
  if (fd >= 0) {
    const ssize_t ignored = write(fd, kErase, sizeof kErase - 1);
    (void)ignored;
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

// A handler left behind after the run finds no line shown, and ends the
// process as the signal's default would.
void catch_ending_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal the caller ignores (nohup) stays ignored.
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}

// The output is a regular file or /dev/null: what is merged does not go to
// a terminal or a program that may draw on one.
bool output_is_a_file(int fd) {
  struct stat out, null;
  if (fstat(fd, &out) != 0) return false;
  if (S_ISREG(out.st_mode)) return true;
  return S_ISCHR(out.st_mode) && stat("/dev/null", &null) == 0 && out.st_rdev == null.st_rdev;
}

// Standard error is a terminal that can erase a line.
bool terminal_can_erase(int fd) {
  const char* term = std::getenv("TERM");
  return isatty(fd) && term != nullptr && *term != '\0' &&
         std::strcmp(term, "dumb") != 0;
}

// The terminal's width now; 80 columns when it does not say (a terminal
// made by a program often reports 0), as pv takes it.
size_t terminal_width(int fd) {
  struct winsize ws;
  if (ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return 80;
  return ws.ws_col;
}

// Text per compressed byte assumed until a compressed input has shown
// its own (logs compress 5 to 20 times), and the compressed bytes read
// before an input's own ratio is trusted.
constexpr double kGuessedRatio = 8;
constexpr uint64_t kRatioSample = uint64_t{1} << 20;

// The text the inputs hold and how much of it has been read, estimated: a
// plain file holds its size; a compressed one what it has given so far
// plus what is left of it at its own ratio of text to compressed bytes
// (once it has shown one, else the ratio the compressed inputs have shown
// together); an input that has ended counts whole, at what it gave. Pipes
// add nothing: their size is unknown.
//
// The estimate has settled once the compressed inputs' shared ratio comes
// from enough of their own bytes (the guess is then no longer used, and a
// farm's files of one kind share a ratio): until then no percent is shown.
void estimate(const progress_line& g, double* done, double* total, bool* settled) {
  double text = 0, packed = 0;
  for (size_t i = 0; i < g.n; ++i) {
    const log_input& in = g.inputs[i];
    const uint64_t read = std::min(input_bytes_read(in), input_size(in));
    if (!input_compressed(in) || input_size(in) == 0) continue;
    if (!input_active(in) || read >= kRatioSample) {
      text += static_cast<double>(input_text_read(in));
      packed += static_cast<double>(input_active(in) ? read : input_size(in));
    }
  }
  const double shared = packed > 0 ? text / packed : kGuessedRatio;
  double compressed = 0;  // the compressed inputs' bytes
  for (size_t i = 0; i < g.n; ++i)
    if (input_compressed(g.inputs[i])) compressed += static_cast<double>(input_size(g.inputs[i]));
  *settled = compressed == 0 ||
             packed >= std::min(compressed / 20, static_cast<double>(kRatioSample) * 4);
  *done = *total = 0;
  for (size_t i = 0; i < g.n; ++i) {
    const log_input& in = g.inputs[i];
    const double given = static_cast<double>(input_text_read(in));
    const uint64_t size = input_size(in);
    // What the merge holds of it, read and not yet written, is not done.
    const double held = g.unwritten != nullptr ? static_cast<double>(g.unwritten[i]) : 0;
    if (!input_active(in)) {
      *done += std::max(0.0, given - held);
      *total += given;
    } else if (size == 0) {
      continue;
    } else if (!input_compressed(in)) {
      *done += std::max(0.0, static_cast<double>(std::min(input_bytes_read(in), size)) - held);
      *total += static_cast<double>(size);
    } else {
      const uint64_t read = std::min(input_bytes_read(in), size);
      const double ratio = read >= kRatioSample ? given / static_cast<double>(read) : shared;
      *done += std::max(0.0, given - held);
      *total += given + static_cast<double>(size - read) * ratio;
    }
  }
}

// "123.4 MiB" and the like.
void human(char* out, size_t cap, double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  std::snprintf(out, cap, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
}

// Writes the fields that fit the terminal's width, less a column so that
// no terminal wraps the line, in their order, joined by two spaces. When
// all do not fit, whole fields are left out, the least useful first (the
// lowest `keep`); one that still does not fit is left out too, and so is
// an empty one.
struct field {
  const char* text;
  int keep;
};

void draw_fields(progress_line& g, double now, const field* fields, size_t count) {
  const size_t width = terminal_width(g.err_fd);
  if (width < 2) return;
  bool in[8] = {};
  size_t len = 0;
  for (int keep = 9; keep >= 0; --keep) {  // the most useful first
    for (size_t i = 0; i < count; ++i) {
      if (fields[i].keep != keep || fields[i].text[0] == '\0') continue;
      const size_t more = std::strlen(fields[i].text) + (len > 0 ? 2 : 0);
      if (len + more > width - 1) continue;
      in[i] = true;
      len += more;
    }
  }
  char text[200] = "";
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!in[i]) continue;
    at += static_cast<size_t>(std::snprintf(text + at, sizeof text - at, "%s%s",
                                            at > 0 ? "  " : "", fields[i].text));
  }
  if (dprintf(g.err_fd, "\r%s\033[K", text) < 0) return;
  g.shown = true;
  shown_on = g.err_fd;
  g.last = now;
}

// Notes when the bytes written last changed.
void note_written(progress_line& g, double now) {
  if (g.out->written != g.seen || g.changed == 0) {
    g.seen = g.out->written;
    g.changed = now;
  }
}

// Keeps a sample of this moment, once the merge has written, and drops
// those older than the window (keeping one at least a window old, if any).
void keep_sample(progress_line& g, double now) {
  if (g.out->written == 0) return;
  const sample s = {now, static_cast<double>(g.out->written), g.fraction};
  if (g.count == kSamples) {
    g.first = (g.first + 1) % kSamples;
    --g.count;
  }
  g.samples[(g.first + g.count++) % kSamples] = s;
  while (g.count > 2 && now - g.samples[(g.first + 1) % kSamples].at >= kWindow) {
    g.first = (g.first + 1) % kSamples;
    --g.count;
  }
}

// The merge's line: percent and time left where the inputs' sizes tell
// them, the log bytes written and their rate, or that it waits. Rate and
// time left are of the last few seconds of writing, not of the whole run:
// a slow start-up does not weigh on them.
void draw(progress_line& g, double now, bool waiting) {
  double done = 0, total = 0;
  bool settled = false;
  if (g.sized) estimate(g, &done, &total, &settled);
  const bool percent = total > 0 && settled;
  if (percent) g.fraction = std::max(g.fraction, std::min(1.0, done / total));
  keep_sample(g, now);
  const sample& old = g.samples[g.first];
  const double span = g.count > 1 ? now - old.at : 0;
  const double written = static_cast<double>(g.out->written);
  const double rate = span > 0 ? (written - old.written) / span : 0;
  const double pace = span > 0 ? (g.fraction - old.fraction) / span : 0;  // share a second
  char pct[16], amount[32], w[48], r[48], tail[32];
  std::snprintf(pct, sizeof pct, "%3.0f%%", 100.0 * g.fraction);
  human(amount, sizeof amount, written);
  std::snprintf(w, sizeof w, "%s written", amount);
  human(amount, sizeof amount, rate);
  std::snprintf(r, sizeof r, "%s/s", amount);
  if (waiting) {
    std::snprintf(tail, sizeof tail, "waiting for input");
  } else if (percent && pace > 0 && span >= kRedraw) {
    const long secs = std::lround((1 - g.fraction) / pace);
    std::snprintf(tail, sizeof tail, "%ld:%02ld left", secs / 60, secs % 60);
  } else {
    tail[0] = '\0';
  }
  if (!percent) pct[0] = '\0';
  if (span <= 0) r[0] = '\0';  // no rate before a second sample
  const field fields[4] = {{pct, waiting ? 7 : 9}, {w, 6}, {r, 5}, {tail, waiting ? 9 : 8}};
  draw_fields(g, now, fields, 4);
}

double now(const progress_line& g) {
  return g.clock.now != nullptr ? g.clock.now(g.clock.ctx) : monotonic_seconds(nullptr);
}

// Whether to draw now: the run has gone on for a while, and the last
// drawing is old enough.
bool due(const progress_line& g, double t) {
  return t - g.start >= kQuietStart && !(g.shown && t - g.last < kRedraw);
}

}  // namespace

void progress_begin(progress_line& g, const clock_seam& clock, int out_fd, int err_fd) {
  g = progress_line{};
  g.clock = clock;
  g.out_fd = out_fd;
  g.err_fd = err_fd;
  if (!output_is_a_file(out_fd) || !terminal_can_erase(err_fd)) return;
  g.enabled = true;
  g.start = now(g);
  catch_ending_signals();
}

void progress_opening(progress_line& g, size_t opened, size_t n) {
  if (!g.enabled) return;
  const double t = now(g);
  if (!due(g, t)) return;
  char text[48];
  std::snprintf(text, sizeof text, "opening %zu/%zu", opened, n);
  const field f = {text, 9};
  draw_fields(g, t, &f, 1);
}

void progress_start(progress_line& g, const log_input* inputs, size_t n, const output& out) {
  g.inputs = inputs;
  g.n = n;
  g.out = &out;
  for (size_t i = 0; i < n; ++i) g.sized = g.sized || input_size(inputs[i]) > 0;
}

void progress_tick(void* arg) {
  progress_line& g = *static_cast<progress_line*>(arg);
  if (!g.enabled || g.out == nullptr) return;
  const double t = now(g);
  note_written(g, t);
  if (due(g, t)) draw(g, t, false);
}

void progress_waiting(progress_line& g) {
  if (!g.enabled || g.out == nullptr) return;
  const double t = now(g);
  note_written(g, t);
  if (due(g, t)) draw(g, t, t - g.changed >= kStalled);
}

void progress_erase(progress_line& g) {
  if (!g.shown) return;
  shown_on = -1;
  const ssize_t ignored = write(g.err_fd, kErase, sizeof kErase - 1);
  (void)ignored;
  g.shown = false;
}
