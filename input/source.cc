#include "input/source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "input/decode_ahead.h"
#include "input/decoder.h"
#include "input/format.h"
#include "input/input_set.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace {

// Takes fd, newly opened or duplicated, as the source's descriptor.
bool adopt(byte_source& src, int fd) {
  struct stat st;
  const bool stated = ::fstat(fd, &st) == 0;
  if (!stated || S_ISDIR(st.st_mode)) {
    src.fault.error = stated ? EISDIR : errno;
    ::close(fd);
    return false;
  }
  src.regular = S_ISREG(st.st_mode);
  if (src.regular) src.size = static_cast<uint64_t>(st.st_size);
  src.extent.sized = src.size > 0;
  src.extent.opened = src.size;
  src.fd = fd;
  return true;
}

}  // namespace

bool source_open(byte_source& src, const char* path, input_set* set, const read_seam& reads) {
  src = byte_source{};
  src.set = set;
  src.reads = set != nullptr ? set->reads : reads;
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    src.fault.error = errno;
    return false;
  }
  return adopt(src, fd);
}

bool source_open_fd(byte_source& src, int fd, input_set* set, const read_seam& reads) {
  src = byte_source{};
  src.set = set;
  src.reads = set != nullptr ? set->reads : reads;
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) {
    src.fault.error = errno;
    return false;
  }
  return adopt(src, own);
}

namespace {

// Reads from the descriptor, counting what it takes. The end of a file
// that shrank below what was read is a failure. Once the reads of a
// regular file reach the size it had, its size now tells whether that is
// its end, and the read that would find nothing is saved (one a file, for
// thousands of small logs).
ssize_t read_counted(byte_source& src, void* into, size_t n) {
  if (src.end == file_end::ended) return 0;
  if (src.end == file_end::cut) {
    src.fault.problem = kFileTruncated;
    return -1;
  }
  const ssize_t got = read_retrying(src.reads, src.fd, into, n);
  if (got < 0) {
    src.fault.error = errno;
  } else if (got == 0 && src.regular && file_shrank(src.fd, src.consumed, src.extent)) {
    src.fault.problem = kFileTruncated;
    return -1;
  } else {
    std::atomic_ref<uint64_t>(src.consumed).fetch_add(static_cast<uint64_t>(got),
                                                      std::memory_order_relaxed);
    if (src.regular && got > 0 && src.consumed >= src.size)
      src.end = file_end_after(src.fd, src.consumed, src.extent);
  }
  return got;
}

// The first read: enough bytes to tell the format, into `into` (n >=
// kSniffBytes bytes of room), and a decoder when they are compressed data.
// Reading stops as soon as the bytes rule out every signature, so a live
// input's short first line is not held back. Returns how many bytes of
// plain text are in `into`, 0 when they were compressed (the decoder has
// them), or -1. A compressed regular file goes to the pool for `turn`,
// where it is given; null: it is decoded here.
ssize_t sniff_and_open(byte_source& src, char* into, size_t n, const ahead_turn* turn) {
  src.started = true;
  auto* bytes = reinterpret_cast<unsigned char*>(into);
  size_t have = 0;
  bool undecided = true;
  const input_format* f = nullptr;
  while (f == nullptr && undecided && have < kSniffBytes) {
    const ssize_t got = read_counted(src, bytes + have, n - have);
    if (got < 0) return -1;
    if (got == 0) break;
    have += static_cast<size_t>(got);
    f = sniff_format(bytes, have, &undecided);
  }
  if (f == nullptr) return static_cast<ssize_t>(have);
  src.compressed = true;
  // A regular file's first line is read again, checked, in its turn.
  const bool peek = src.regular && turn != nullptr && *turn == ahead_turn::first_line;
  src.dec = decoder_open(src.set != nullptr ? &src.set->decoders : nullptr, *f, src.fd, src.reads, bytes,
                         have, src.fault, src.consumed, src.extent, peek);
  if (src.dec == nullptr) return -1;
  // Cleared only once it comes again, checked.
  if (peek) src.unchecked = f->ops->unchecked != nullptr || f->ops->hold_members;
  // A regular file never blocks a worker for long: decode it ahead. Pipes
  // and other streams are decoded here, as they arrive.
  // Once memory has run out, each is decoded here, as on one core.
  if (src.regular && turn != nullptr && src.set != nullptr && !src.set->turns.memory_short) {
    src.ahead = ahead_open(src.set->pool, src.dec, *turn, src.size);
    // Once handed over, the fault record is the decoding thread's to
    // write until the end: look at it only when the pool refused.
    if (src.ahead == nullptr && fault_failed(src.fault)) return -1;
  }
  return 0;
}

}  // namespace

ssize_t source_begin(byte_source& src, char* buf, size_t n, ahead_turn turn) {
  return src.started ? 0 : sniff_and_open(src, buf, n, &turn);
}

ssize_t source_read(byte_source& src, char* buf, size_t n) {
  if (!src.started) {
    const ssize_t got = sniff_and_open(src, buf, n, nullptr);
    if (got != 0 || (src.dec == nullptr && src.ahead == nullptr)) return got;
  }
  if (src.ahead != nullptr) return ahead_read(*src.ahead, buf, n);
  if (src.dec != nullptr) return decoder_read(*src.dec, buf, n);
  return read_counted(src, buf, n);
}

bool source_ready_within(const byte_source& src, int ms) {
  if (src.regular || src.ahead != nullptr || src.fd < 0) return true;
  struct pollfd p = {src.fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, ms);
  } while (ready < 0 && errno == EINTR);
  return ready != 0;  // ready, or an error the read will tell
}

bool source_may_block(const byte_source& src) {
  // Wait a moment first: a pipe from a busy program (zcat) is nearly always
  // refilled within it, and then nothing need be flushed. The wait costs
  // nothing, since the read would wait as long; a live stream's lines go
  // out a millisecond later.
  constexpr int kWaitMs = 1;
  return !source_ready_within(src, kWaitMs);
}

uint64_t source_position(const byte_source& src) {
  if (src.ahead != nullptr) return ahead_position(*src.ahead);
  auto& consumed = const_cast<uint64_t&>(src.consumed);
  return std::atomic_ref<uint64_t>(consumed).load(std::memory_order_relaxed);
}

void source_drop_decoder(byte_source& src) {
  src.ahead.reset();
  src.dec.reset();
}

void source_pause(byte_source& src) {
  source_drop_decoder(src);
  // It will be read again from its start, and must hold at least as much.
  if (src.consumed > src.extent.seen) src.extent.seen = src.consumed;
  std::atomic_ref<uint64_t>(src.consumed).store(0, std::memory_order_relaxed);
}

bool source_rewind(byte_source& src) {
  source_pause(src);
  src.fault = read_fault{};
  if (::lseek(src.fd, 0, SEEK_SET) != 0) {
    src.fault.error = errno;
    return false;
  }
  // Cut while it waited: what it held is gone, and what it holds now
  // would be spliced to it.
  if (file_shrank(src.fd, 0, src.extent)) {
    src.fault.problem = kFileTruncated;
    return false;
  }
  src.started = false;
  src.end = file_end::more;
  return true;
}

void source_close(byte_source& src) {
  src.ahead.reset();
  src.dec.reset();
  if (src.fd >= 0) ::close(src.fd);
  src.fd = -1;
}
