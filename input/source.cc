#include "input/source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "input/decode_ahead.h"
#include "input/sys_read.h"

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
  src.regular = S_ISREG(st.st_mode);
  if (src.regular) src.size = static_cast<uint64_t>(st.st_size);
  src.fd = fd;
  return true;
}

namespace {

// Reads the first bytes, enough to tell the format, and sets up a decoder
// when they are compressed data.
bool start(byte_source& src) {
  src.started = true;
  while (src.head_len < kMagicBytes) {
    const ssize_t got = read_retrying(src.fd, src.head + src.head_len,
                                      kMagicBytes - src.head_len);
    if (got < 0) {
      src.error = errno;
      return false;
    }
    if (got == 0) break;
    src.head_len += static_cast<size_t>(got);
  }
  const compression c = detect_compression(src.head, src.head_len);
  if (c == compression::none) return true;
  src.dec = decoder_open(c, src.fd, src.head, src.head_len, &src.error, &src.problem);
  src.head_len = src.head_pos = 0;
  if (src.dec == nullptr) return false;
  // A regular file never blocks a worker for long: decode it ahead. Pipes
  // and other streams are decoded here, as they arrive.
  if (src.regular) {
    src.ahead = ahead_open(src.dec, &src.error);
    if (src.ahead != nullptr) {
      src.dec = nullptr;
    } else if (src.error != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

ssize_t source_read(byte_source& src, char* buf, size_t n) {
  if (!src.started && !start(src)) return -1;
  if (src.ahead != nullptr)
    return ahead_read(*src.ahead, buf, n, &src.error, &src.problem, &src.trailing_garbage);
  if (src.dec != nullptr) {
    const ssize_t got = decoder_read(*src.dec, buf, n);
    if (got < 0) {
      src.error = src.dec->error;
      src.problem = src.dec->problem;
    }
    if (got == 0) src.trailing_garbage = src.dec->trailing_garbage;
    return got;
  }
  if (src.head_pos < src.head_len) {
    const size_t take = std::min(n, src.head_len - src.head_pos);
    std::memcpy(buf, src.head + src.head_pos, take);
    src.head_pos += take;
    return static_cast<ssize_t>(take);
  }
  const ssize_t got = read_retrying(src.fd, buf, n);
  if (got < 0) src.error = errno;
  return got;
}

bool source_may_block(const byte_source& src) {
  if (src.regular || src.ahead != nullptr || src.fd < 0 || src.head_pos < src.head_len)
    return false;
  // Wait a moment first: a pipe from a busy program (zcat) is nearly always
  // refilled within it, and then nothing need be flushed. The wait costs
  // nothing, since the read would wait as long; a live stream's lines go
  // out a millisecond later.
  struct pollfd p = {src.fd, POLLIN, 0};
  constexpr int kWaitMs = 1;
  int ready;
  do {
    ready = ::poll(&p, 1, kWaitMs);
  } while (ready < 0 && errno == EINTR);
  return ready == 0;
}

void source_close(byte_source& src) {
  ahead_close(src.ahead);
  src.ahead = nullptr;
  decoder_close(src.dec);
  src.dec = nullptr;
  if (src.fd >= 0) ::close(src.fd);
  src.fd = -1;
}

const char* source_error_text(const byte_source& src) {
  return src.problem != nullptr ? src.problem : std::strerror(src.error);
}
