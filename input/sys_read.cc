#include "input/sys_read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

ssize_t read_retrying(const read_seam& via, int fd, void* buf, size_t n) {
  for (;;) {
    const ssize_t got = via.read != nullptr ? via.read(via.ctx, fd, buf, n) : ::read(fd, buf, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

file_end file_end_after(int fd, uint64_t consumed, const file_extent& known) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return file_end::more;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size == 0 && !known.sized) return file_end::more;
  if (size < consumed || size < known.seen) return file_end::cut;
  if (size > consumed) return file_end::more;
  return consumed < known.opened ? file_end::cut : file_end::ended;
}

bool file_shrank(int fd, uint64_t consumed, const file_extent& known) {
  return file_end_after(fd, consumed, known) == file_end::cut;
}
