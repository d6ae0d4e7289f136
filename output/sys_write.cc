#include "output/output.h"

#include <unistd.h>

#include <cerrno>

int write_fully(const write_seam& via, int fd, const char* buf, size_t n) {
  while (n > 0) {
    const ssize_t put = via.write != nullptr ? via.write(via.ctx, fd, buf, n) : ::write(fd, buf, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A write of nothing for a nonzero request would loop forever; no real
    // descriptor does it, so treat it as an I/O error.
    if (put == 0) return EIO;
    buf += put;
    n -= static_cast<size_t>(put);
  }
  return 0;
}
