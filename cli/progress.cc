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

double monotonic_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

constexpr double kQuietStart = 1.0;  // seconds before the line first shows
constexpr double kRedraw = 0.25;     // seconds between drawings
constexpr const char kErase[] = "\r\033[K";

struct progress_state {
  bool enabled = false;
  double start = 0, last = 0;
  const log_input* inputs = nullptr;
  size_t n = 0;
  const output* out = nullptr;
  uint64_t total = 0;  // bytes of the inputs that are regular files
} g;

// Read by the signal handler: whether a line is on the screen.
volatile sig_atomic_t shown = 0;

// Erases the line, then lets the signal end the process as it would have.
void on_signal(int sig) {
  if (shown) {
    const ssize_t ignored = write(STDERR_FILENO, kErase, sizeof kErase - 1);
    (void)ignored;
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

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

// Standard output is a regular file or /dev/null: what is merged does not
// go to a terminal or a program that may draw on one.
bool output_is_a_file() {
  struct stat out, null;
  if (fstat(STDOUT_FILENO, &out) != 0) return false;
  if (S_ISREG(out.st_mode)) return true;
  return S_ISCHR(out.st_mode) && stat("/dev/null", &null) == 0 && out.st_rdev == null.st_rdev;
}

// Standard error is a terminal that can erase a line.
bool terminal_can_erase() {
  const char* term = std::getenv("TERM");
  return isatty(STDERR_FILENO) && term != nullptr && *term != '\0' &&
         std::strcmp(term, "dumb") != 0;
}

// The terminal's width now, or 0 when it cannot be told.
size_t terminal_width() {
  struct winsize ws;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) != 0) return 0;
  return ws.ws_col;
}

// How far the merge has read into the regular files, each counted up to
// its size.
uint64_t bytes_done() {
  uint64_t done = 0;
  for (size_t i = 0; i < g.n; ++i)
    done += std::min(input_bytes_read(g.inputs[i]), input_size(g.inputs[i]));
  return done;
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

// Draws the line, cut to the terminal's width (one column is left free, so
// that no terminal wraps it).
void draw(double now, bool waiting) {
  const double elapsed = now - g.start;
  const double fraction =
      std::min(1.0, static_cast<double>(bytes_done()) / static_cast<double>(g.total));
  const double written = static_cast<double>(g.out->written);
  char w[32], r[32], tail[32];
  human(w, sizeof w, written);
  human(r, sizeof r, written / elapsed);
  if (waiting) {
    std::snprintf(tail, sizeof tail, "waiting for input");
  } else {
    const long secs = fraction > 0 ? std::lround(elapsed * (1 - fraction) / fraction) : 0;
    std::snprintf(tail, sizeof tail, "%ld:%02ld left", secs / 60, secs % 60);
  }
  char text[160];
  const int len = std::snprintf(text, sizeof text, "%3.0f%%  %s written  %s/s  %s",
                                100.0 * fraction, w, r, tail);
  const size_t width = terminal_width();
  if (width < 2) return;
  const size_t fit = std::min(static_cast<size_t>(std::max(len, 0)), width - 1);
  std::fprintf(stderr, "\r%.*s\033[K", static_cast<int>(fit), text);
  std::fflush(stderr);
  shown = 1;
  g.last = now;
}

}  // namespace

double (*progress_clock)() = monotonic_seconds;

void progress_start(const log_input* inputs, size_t n, const output& out) {
  g = progress_state{};
  if (!output_is_a_file() || !terminal_can_erase()) return;
  g.inputs = inputs;
  g.n = n;
  g.out = &out;
  for (size_t i = 0; i < n; ++i) g.total += input_size(inputs[i]);
  g.enabled = g.total > 0;
  if (!g.enabled) return;
  g.start = progress_clock();
  catch_ending_signals();
}

void progress_tick(void*) {
  if (!g.enabled) return;
  const double now = progress_clock();
  if (now - g.start < kQuietStart || (shown && now - g.last < kRedraw)) return;
  draw(now, false);
}

void progress_waiting(void*) {
  if (!g.enabled) return;
  const double now = progress_clock();
  if (now - g.start >= kQuietStart) draw(now, true);
}

void progress_erase() {
  if (!shown) return;
  std::fputs(kErase, stderr);
  std::fflush(stderr);
  shown = 0;
}
