// A readable input: the bytes of one log, from a file, pipe or device,
// decompressed on the way when they are gzip, bzip2, xz or zstd data.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "input/decoder.h"

struct byte_source {
  int fd = -1;
  // After a failure: the errno that describes it, or a text when the
  // failure is in the data rather than the system.
  int error = 0;
  const char* problem = nullptr;
  // Compressed data that ended, after whole members, at bytes that begin
  // none: everything before them was read; the caller reports it after the
  // merge (kept after source_close).
  bool trailing_garbage = false;

  // The format is told from the first bytes, read straight into the
  // caller's buffer, or into `head` when the first read asks for fewer
  // bytes than a signature; plain text is then served from `head` first.
  bool started = false;
  unsigned char head[kMagicBytes] = {};
  size_t head_len = 0;
  size_t head_pos = 0;
  decoder* dec = nullptr;  // null for plain text, or when decoding ahead
  struct ahead_input* ahead = nullptr;  // a compressed regular file, decoded
                                        // ahead by the pool's threads
  bool regular = false;    // the path is a regular file ...
  uint64_t size = 0;       // ... of this many bytes when it was opened
};

// Opens path for reading. A directory is refused with EISDIR here, so that
// every system reports it alike. Returns false with `error` set.
bool source_open(byte_source& src, const char* path);

// Reads up to n bytes of content (decompressed). Returns the count, 0 at the
// end, or -1 with `error` or `problem` set. The format is never told from
// the name, and telling it needs no seeking, so pipes work.
ssize_t source_read(byte_source& src, char* buf, size_t n);

// True when the next read could wait: the input is a pipe, socket, FIFO or
// terminal with no data ready within a millisecond. Regular files never
// wait for long.
bool source_may_block(const byte_source& src);

// Releases the descriptor and any decoder. Safe to call twice.
void source_close(byte_source& src);

// The text that describes the source's failure, for messages.
const char* source_error_text(const byte_source& src);
