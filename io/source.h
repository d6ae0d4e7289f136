// A readable input: the bytes of one log, from a file, pipe or device.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct byte_source {
  int fd = -1;
  // After a failure: the errno that describes it.
  int error = 0;
};

// Opens path for reading. A directory is refused with EISDIR here, so that
// every system reports it alike. Returns false with `error` set.
bool source_open(byte_source& src, const char* path);

// Reads up to n bytes. Returns the count, 0 at end of input, or -1 with
// `error` set.
ssize_t source_read(byte_source& src, char* buf, size_t n);

// Releases the descriptor. Safe to call twice.
void source_close(byte_source& src);

// The text that describes the source's failure, for messages.
const char* source_error_text(const byte_source& src);
