#include "input/sys_read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

sys_read_fn sys_read = ::read;

ssize_t read_retrying(int fd, void* buf, size_t n) {
  for (;;) {
    const ssize_t got = sys_read(fd, buf, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool file_shrank(int fd, uint64_t consumed, const file_extent& known) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size == 0 && !known.sized) return false;
  return size < consumed || size < known.seen;
}
