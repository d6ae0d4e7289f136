// Input stage: turns a path into a series of whole lines.
//
// Owns opening a path, reading it in large blocks, recognising a compressed
// format by its first bytes, decoding it, and cutting the bytes into lines
// (spans into the input's own buffer). Everything here reports failure as a
// status with an errno or a fixed text on the input; nothing here prints,
// exits, knows the key of a line or the order of the merge.
#pragma once

#include <cstddef>
#include <string_view>

#include "input/source.h"

// Bytes read from an input at a time, and the starting size of its buffer.
// The buffer grows only to hold a line longer than it.
inline constexpr size_t kInputBlockSize = size_t{64} * 1024;
// The smallest buffer an input is given (one page), for a file smaller
// than a block.
inline constexpr size_t kSmallestBlock = 4096;

// An input log. Its bytes are read in large blocks into `buf`; `line` is a
// span into that buffer and stays valid until the next input_next call.
struct log_input {
  int active = 0;          // 1 while `line` holds a line not yet written
  const char* path = nullptr;  // as named on the command line
  byte_source stream;
  std::string_view line;   // the current line, with its newline if it has one

  char* buf = nullptr;
  size_t cap = 0;   // size of buf
  size_t pos = 0;   // start of the bytes not yet handed out as lines
  size_t scan = 0;  // [pos, scan) is known to hold no newline
  size_t end = 0;   // end of the bytes read
  bool at_eof = false;
  // When set, a read that could wait for a quiet stream is not made:
  // input_next returns would_block instead, so that the caller can send out
  // what it has first, then clear this and call again.
  bool ask_before_blocking = false;
};

enum class input_status {
  ok,      // `line` holds the next line
  dry,     // no line is left; the stream has been closed
  failed,  // reading failed, or the buffer could not grow (ENOMEM);
           // stream.error or stream.problem says why; the stream is closed
  would_block,  // only with ask_before_blocking: the next read could wait
};

// Opens the input and allocates its buffer: `block` bytes, or about the
// file's size for a smaller regular file. Returns false with
// in.stream.error set (ENOMEM when the buffer cannot be had).
bool input_open(log_input& in, const char* path,
                size_t block = kInputBlockSize);

// Moves to the next line: `line` is set, or the input is dry. On
// anything but ok, `active` becomes 0 and the stream is closed.
input_status input_next(log_input& in);

// Hands out, a piece at a time, every byte that follows the current line,
// exactly as read, in pieces of whole lines (up to the last newline in the
// buffer); only the very last piece may end without a newline. For an input
// that no longer needs merging: no line is split out or keyed. Returns ok
// with `piece` set, dry at the end, or failed.
input_status input_next_piece(log_input& in, std::string_view* piece);

// Closes the stream and frees the buffer.
void input_release(log_input& in);
