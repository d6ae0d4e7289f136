// A readable input: the bytes of one log, from a file, pipe or device,
// decompressed on the way when they open with a known format's signature.
// Internal to input/.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "input/handles.h"
#include "input/read_fault.h"
#include "input/sys_read.h"

// Bytes a first read needs to tell every format by its full signature: the
// longest is .lzma's header (properties, dictionary size, content size).
inline constexpr size_t kSniffBytes = 13;

struct input_set;  // input_set.h

struct byte_source {
  int fd = -1;
  read_seam reads;  // how fd is read
  input_set* set = nullptr;  // its pool and decoders; null: decoded here, uncounted
  read_fault fault;        // why reading stopped (kept after source_close)
  bool started = false;    // the format has been told
  decoder_ptr dec;         // null for plain text, or when decoding ahead
  ahead_ptr ahead;         // a compressed regular file, decoded ahead by
                           // the pool's threads
  bool compressed = false;  // its first bytes were a format's signature
  // Its first line was read at start-up before its block's check had
  // passed (bzip2): read again, checked, before that line is written.
  bool unchecked = false;
  bool regular = false;    // the path is a regular file ...
  uint64_t size = 0;       // ... of this many bytes when it was opened
  file_extent extent;      // ... and what is known of its length since
  file_end end = file_end::more;  // ... and what its size said once its
                                  // reads had reached the size it had
  // Bytes taken from the descriptor so far; a decoding thread may add to
  // it while the merge thread reads it (atomically, for progress).
  uint64_t consumed = 0;
};

// Opens path for reading, as one of `set` (may be null). A directory is
// refused with EISDIR here, so that every system reports it alike. Returns
// false with the fault set. Its reads go through the set's read seam, or
// through `reads` when it has no set.
bool source_open(byte_source& src, const char* path, input_set* set = nullptr,
                 const read_seam& reads = {});

// The same for an open descriptor (standard input), read through a
// duplicate of it, which source_close closes.
bool source_open_fd(byte_source& src, int fd, input_set* set = nullptr,
                    const read_seam& reads = {});

// Reads up to n bytes of content (decompressed). Returns the count, 0 at the
// end, or -1 with the fault set. The format is told from the first read,
// which must offer at least kSniffBytes; never from the name, and telling it
// needs no seeking, so pipes work. A format told here is decoded here.
ssize_t source_read(byte_source& src, char* buf, size_t n);

// True when the next read could wait: the input is a pipe, socket, FIFO or
// terminal with no data ready within a millisecond. Regular files never
// wait for long.
bool source_may_block(const byte_source& src);

// Waits up to ms milliseconds for a stream to have bytes (or its end) to
// read; true at once for a regular file. False when none came.
bool source_ready_within(const byte_source& src, int ms);

// How far into the file the bytes handed out so far reach: compressed
// bytes for compressed data. Safe while decoding threads run.
uint64_t source_position(const byte_source& src);

// Frees the decoder (and its place in the pool), nothing else: for a file
// whose text has all been read.
void source_drop_decoder(byte_source& src);

// Frees the decoder (and its place in the pool) but keeps the descriptor:
// a regular file, read again from its start by source_rewind when needed.
// How far it was read is kept: the file may not end before that.
void source_pause(byte_source& src);

// Goes back to the start of a regular file, to be read (and its format
// told) again. False with the fault set when the file cannot be sought, or
// is now shorter than what was read of it before (file truncated).
bool source_rewind(byte_source& src);

// Tells the format now, as the first read would, but a compressed regular
// file starts decoding on the set's pool, for `turn`; plain text read on
// the way is put in buf (n >= kSniffBytes). For a first line, a format
// may give bytes unchecked (`unchecked` is then set). Returns the bytes of
// plain text put there, or -1 with the fault set.
ssize_t source_begin(byte_source& src, char* buf, size_t n, ahead_turn turn);

// Releases the descriptor and any decoder. Safe to call twice.
void source_close(byte_source& src);
