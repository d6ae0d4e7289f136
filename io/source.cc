#include "io/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/sys_io.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

bool source_open(byte_source& src, const char* path) {
  src = byte_source{};
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    src.error = errno;
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    src.error = EISDIR;
    return false;
  }
  src.fd = fd;
  return true;
}

ssize_t source_read(byte_source& src, char* buf, size_t n) {
  const ssize_t got = read_retrying(src.fd, buf, n);
  if (got < 0) src.error = errno;
  return got;
}

void source_close(byte_source& src) {
  if (src.fd >= 0) ::close(src.fd);
  src.fd = -1;
}

const char* source_error_text(const byte_source& src) {
  return std::strerror(src.error);
}
