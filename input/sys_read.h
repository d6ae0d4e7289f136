// The read call, passed in: the system's, or a test's fake that injects
// failures, short reads and interrupted calls.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Every read of log data goes through one of these, given to the set of
// inputs (or to a source opened alone). Called from decoding threads too,
// at once: a fake must be safe for that.
struct read_seam {
  // As read(2), with ctx; null: the system's read.
  ssize_t (*read)(void* ctx, int fd, void* buf, size_t n) = nullptr;
  void* ctx = nullptr;
};

// Reads up to n bytes, retrying calls interrupted by a signal. Returns the
// byte count, 0 at end of file, or -1 with errno set.
ssize_t read_retrying(const read_seam& via, int fd, void* buf, size_t n);

// What is known of a regular file's length, to tell its end from a cut.
struct file_extent {
  // False for a file that reported a size of 0 when it was opened (as
  // /proc files do, whatever they hold): while it still says 0, an end
  // found in it is its end.
  bool sized = true;
  // Bytes read of it before it was last read again from its start: it
  // cannot end before them unless it was cut.
  uint64_t seen = 0;
  // Its size when it was opened: its reads cannot find its end before
  // that unless it was cut (a file that grows is read to its end).
  uint64_t opened = 0;
};

// For a read that found the end: true when fd is a regular file now
// shorter than the `consumed` bytes read from it (or than what was seen
// before), so that the end found is not the file's (it was truncated in
// place while it was read, or while it waited, as copytruncate rotation
// does).
bool file_shrank(int fd, uint64_t consumed, const file_extent& known);

// What a regular file's size says once `consumed` bytes have been read of
// it: it ends there, holds more, or was cut (as file_shrank says). A file
// that says it holds nothing while it was opened as such (/proc) holds
// more: only a read that finds nothing tells its end.
enum class file_end { more, ended, cut };
file_end file_end_after(int fd, uint64_t consumed, const file_extent& known);

// The problem text for such a file.
inline constexpr const char* kFileTruncated = "file truncated";
