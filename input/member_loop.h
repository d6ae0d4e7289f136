// The read loop shared by the formats whose data is a series of members or
// streams, each decoded by a library call that takes input and output
// spans: gzip (ISA-L or zlib) and bzip2. Internal to decode/.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "input/decoder.h"

// The libraries take 32-bit lengths: offer them at most that much at once.
inline uint32_t clamp32(size_t n) {
  return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

// What one call of the library did.
struct member_step {
  size_t used = 0;     // input bytes consumed
  size_t made = 0;     // output bytes produced
  bool ended = false;  // the member is complete, its check passed
  bool failed = false; // the data cannot be decoded
};

struct member_codec {
  // Makes the library ready for a new member; false when it cannot be.
  bool (*begin)(void* state);
  // Decodes from in into out as far as it can.
  member_step (*step)(void* state, const unsigned char* in, size_t in_len, char* out,
                      size_t out_len);
};

// Per-input state of the loop.
struct member_reader {
  bool in_member = false;  // a member has begun and has not ended
};

// Decodes up to n bytes: members one after another to the end of the
// input. Returns the count, 0 at a clean end, or -1 with d.error or
// d.problem set ("truncated ..." when the input ends inside a member,
// "corrupt ..." when the library refuses the data).
ssize_t read_members(decoder& d, member_reader& r, const member_codec& codec, char* out,
                     size_t n);
