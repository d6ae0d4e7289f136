// Reads standard input to its end, 64 KiB at a time, and throws it away:
// the consumer at the end of the benchmark's pipes, the same for every tool
// timed.
#include <unistd.h>

int main() {
  static char buf[64 * 1024];
  ssize_t n;
  while ((n = read(0, buf, sizeof buf)) > 0) {
  }
  return n < 0 ? 1 : 0;
}
