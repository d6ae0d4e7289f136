#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "input/log_input.h"

namespace {

double monotonic_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

constexpr double kQuietStart = 1.0;  // seconds before the line first shows
constexpr double kRedraw = 0.25;     // seconds between drawings

struct progress_state {
  bool enabled = false;
  bool shown = false;
  double start = 0, last = 0;
  const log_input* inputs = nullptr;
  size_t n = 0;
  uint64_t total = 0;  // bytes of the inputs that are regular files
} g;

// Bytes read so far of the regular files, each counted up to its size.
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

}  // namespace

double (*progress_clock)() = monotonic_seconds;

void progress_start(const log_input* inputs, size_t n) {
  g = progress_state{};
  g.enabled = isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO);
  if (!g.enabled) return;
  g.inputs = inputs;
  g.n = n;
  for (size_t i = 0; i < n; ++i) g.total += input_size(inputs[i]);
  g.enabled = g.total > 0;
  g.start = progress_clock();
}

void progress_tick(void*) {
  if (!g.enabled) return;
  const double now = progress_clock();
  if (now - g.start < kQuietStart || (g.shown && now - g.last < kRedraw)) return;
  g.last = now;
  const uint64_t done = bytes_done();
  const double rate = static_cast<double>(done) / (now - g.start);
  const double left = rate > 0 ? static_cast<double>(g.total - std::min(done, g.total)) / rate : 0;
  char d[32], t[32], r[32];
  human(d, sizeof d, static_cast<double>(done));
  human(t, sizeof t, static_cast<double>(g.total));
  human(r, sizeof r, rate);
  const long secs = std::lround(left);
  std::fprintf(stderr, "\r%s of %s  %3.0f%%  %s/s  %ld:%02ld left\033[K", d, t,
               100.0 * static_cast<double>(done) / static_cast<double>(g.total), r, secs / 60,
               secs % 60);
  g.shown = true;
}

void progress_erase() {
  if (!g.shown) return;
  std::fputs("\r\033[K", stderr);
  g.shown = false;
}
