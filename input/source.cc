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

// Reads the first bytes, at least enough to tell the format unless the
// input is shorter, into `into` (n bytes of room), and sets up a decoder
// when they are compressed data. Returns how many bytes of plain text are
// in `into`, 0 when they were compressed (the decoder has them), or -1.
ssize_t start(byte_source& src, unsigned char* into, size_t n) {
  src.started = true;
  size_t have = 0;
  while (have < kMagicBytes) {
    const ssize_t got = read_retrying(src.fd, into + have, n - have);
    if (got < 0) {
      src.error = errno;
      return -1;
    }
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  const compression c = detect_compression(into, have);
  if (c == compression::none) return static_cast<ssize_t>(have);
  src.dec = decoder_open(c, src.fd, into, have, &src.error, &src.problem);
  if (src.dec == nullptr) return -1;
  // A regular file never blocks a worker for long: decode it ahead. Pipes
  // and other streams are decoded here, as they arrive.
  if (src.regular) {
    src.ahead = ahead_open(src.dec, &src.error);
    if (src.ahead != nullptr) {
      src.dec = nullptr;
    } else if (src.error != 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace

ssize_t source_read(byte_source& src, char* buf, size_t n) {
  if (!src.started) {
    // Plain text is read straight into the caller's buffer when it has
    // room for a signature, so telling the format costs no read of its own.
    if (n >= kMagicBytes) {
      const ssize_t got = start(src, reinterpret_cast<unsigned char*>(buf), n);
      if (got != 0 || (src.dec == nullptr && src.ahead == nullptr)) return got;
    } else {
      const ssize_t got = start(src, src.head, kMagicBytes);
      if (got < 0) return -1;
      if (src.dec == nullptr && src.ahead == nullptr) src.head_len = static_cast<size_t>(got);
    }
  }
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
