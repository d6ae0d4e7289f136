// The one fake behind the read and write seams: calls interrupted, cut
// short, or failed past a byte count, for every descriptor or for one
// file's reads; a file that grows when a read first finds its end; writes
// kept in memory.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

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

// Puts the fakes behind both seams, with counts from zero.
void fake_seams_install(const fake_seams& plan);
// Puts the system calls back.
void fake_seams_remove();
