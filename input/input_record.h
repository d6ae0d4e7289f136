// An input's record and what its reads return: what the stage's door
// (log_input.h, which other folders include) and the line reader below it
// (lines.h) share. Internal to input/; log_input.h brings it to the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "input/source.h"

// Bytes read from an input at a time, and the starting size of its buffer.
// The buffer grows when less than half of it is free for the next read,
// which happens only while a line longer than half the buffer builds up.
inline constexpr size_t kInputBlockSize = size_t{64} * 1024;

// Where an input is in its life. The transitions, all made by the line
// reader (lines.cc), which checks each against this drawing:
//
//   input_open:      ended -> reading (it stays ended when it cannot open)
//   stream's end:    reading -> draining (lines may be left in the buffer)
//   input_wait_turn: reading, draining -> waiting (a regular file that its
//                    buffer does not hold whole, or compressed)
//   started early:   waiting -> early (decoding ahead of its turn), or
//                    failed_ahead, or waiting again when memory runs out
//   its turn comes:  waiting, early -> reading (read again past its first
//                    line, after that line is written, or before it when
//                    it is unconfirmed), or ended when it fails;
//                    failed_ahead -> ended
//   dry or failed:   any -> ended, everything freed but the fault
//
// input_start (start-up) may leave a new input failed_ahead: its first
// read tells the fault. An input's first read is small (its first line is
// all start-up needs) unless it is a plain file its buffer holds whole.
enum class input_phase {
  ended,         // not open: never opened, merged to its end, or failed
  reading,       // lines come from its buffer, read a block at a time
  draining,      // its stream has ended; lines may be left in the buffer
  waiting,       // holds a copy of its first line and its descriptor only
  early,         // read again from its start ahead of its turn, its first
                 // line still held
  failed_ahead,  // a read started ahead (input_start, or early) failed: the
                 // next read tells why
};

struct input_set;  // the decoding pool and decoders of a set of inputs

// An input log. Its bytes are read in large blocks into `buf`; `line` is a
// span into that buffer (or, while it waits, into its copy of its first
// line) and stays valid until the next input_next call.
struct log_input {
  input_phase phase = input_phase::ended;
  const char* path = nullptr;  // as named on the command line
  input_set* set = nullptr;
  byte_source stream;
  std::string_view line;   // the current line, with its newline if it has one

  char* buf = nullptr;
  size_t cap = 0;   // size of buf
  size_t pos = 0;   // start of the bytes not yet handed out as lines
  size_t scan = 0;  // [pos, scan) is known to hold no newline
  size_t end = 0;   // end of the bytes read
  size_t block = 0;  // the buffer's size when reading
  uint64_t text = 0;  // bytes of text read since it was (last) read from its start
  bool alone = false;  // gave way to memory: decoded again here at the next read
  char* first = nullptr;  // the copy of its first line, while it is held
};

enum class input_status {
  ok,      // `line` holds the next line
  dry,     // no line is left; the stream has been closed
  failed,  // reading failed, or the buffer could not grow (ENOMEM);
           // input_error_text says why; the stream is closed
  would_block,  // only with input_wait::ask: the next read could wait
};

// Whether a read may wait for a quiet stream (a pipe from tail -F, ssh).
enum class input_wait {
  allowed,
  ask,  // return would_block instead, so that the caller can send out what
        // it has first, then call again with allowed
};
