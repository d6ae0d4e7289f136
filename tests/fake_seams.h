// The one fake behind the read and write seams: calls interrupted, cut
// short, or failed past a byte count, for every descriptor or for one
// file's reads; a file that grows when a read first finds its end; writes
// kept in memory.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "input/log_input.h"
#include "output/output.h"

// A read size drawn at random, 1 to 4096 bytes, from the seed.
inline constexpr size_t kRandomChunks = ~size_t{0};

struct fake_seams {
  bool interrupt = false;  // every other read and write call fails with EINTR
  // Reads: only this file's are faked (0: every read).
  ino_t read_inode = 0;
  size_t read_chunk = 0;   // at most this many bytes a call (0: as asked)
  unsigned seed = 1;       // for kRandomChunks
  // Reads fail with EIO from this offset of the file on (like a bad
  // sector); for a descriptor that has no offset, past this many bytes.
  size_t read_allowed = SIZE_MAX;
  int read_errno = EIO;
  bool read_fails_once = false;  // then reads past read_allowed go through
  // Called when a faked read first reaches the end of the file; when
  // it returns true (it added bytes) and the read found nothing, the read
  // is made again.
  bool (*at_end)() = nullptr;
  // Writes.
  size_t write_chunk = 0;  // at most this many bytes a call (0: as asked)
  size_t write_allowed = SIZE_MAX;  // then writes fail with write_errno
  int write_errno = EIO;
  std::string* kept = nullptr;  // when set, written bytes land here
};

// The fakes at work: a plan and its counts from zero. Decoding threads
// read through it at once, so its counts are kept under a lock.
struct fake_io {
  explicit fake_io(const fake_seams& p) : plan(p), rng(p.seed) {}
  fake_seams plan;
  std::mutex lock;
  size_t read_so_far = 0, written_so_far = 0;
  unsigned calls = 0;
  bool ended_once = false, failed_once = false;
  std::mt19937 rng;
};

// The seams that read and write through `io`.
read_seam fake_reads(fake_io& io);
write_seam fake_writes(fake_io& io);
