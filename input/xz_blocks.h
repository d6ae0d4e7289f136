// xz blocks held until their check has passed (xz.cc's streams). Internal
// to input/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "input/format.h"

// An xz block's text is held until its check has passed, where its header
// says its sizes (as xz -T and other parallel encoders write them) and it
// holds at most kHeldMost bytes of text; other blocks go out as xz -dc
// writes them, before their check. liblzma tells no block's end, so the
// stream's structure is followed in the bytes it takes: the stream
// header's check type, each block header's sizes, each block's stored
// check. Block j's text has passed once text of a later block comes out
// (liblzma, on one thread or its own, begins a block only once the one
// before it has passed) or the stream has ended; when liblzma fails right
// after a block's last byte, the block's check is computed here.
struct xz_block {
  uint64_t text_from = 0, text_to = 0;
  unsigned char check[8] = {};  // CRC32 or CRC64, as stored
  size_t check_have = 0;
};
inline constexpr size_t kPendingBlocks = 64;
struct xz_blocks {
  enum class at { stream_head, head_size, head, body, none } phase = at::stream_head;
  size_t count = 0;             // bytes of the part being read
  unsigned char head[1024] = {};
  size_t head_size = 0;
  unsigned check = 0;            // the stream's check type (lzma_check)
  uint64_t left = 0;            // body: bytes of the block still to come
  uint64_t text_next = 0;       // where the next block's text begins
  // The blocks whose text has not all gone out, oldest first, in a ring
  // (an empty one is not kept apart). More at once (liblzma's threads far
  // ahead through small blocks) and the stream is held no further.
  xz_block pending[kPendingBlocks];
  size_t oldest = 0, kept = 0;
  bool lost = false;            // a block that does not say its sizes
};
struct xz_held {
  held_text text;
  uint64_t base = 0;  // the text offset of text.buf[0]
  // Once the text that passed has gone out: the stream's end, or the
  // failure found after it.
  bool ended = false;
  member_step failure;
};

// A new stream begins.
void xz_held_begin(xz_blocks& t, xz_held& h);

// One step of the stream's text through `h`: decodes with `decode` (on
// `state`) into it, follows the stream's structure in the bytes taken, and
// hands out what has passed, then the stream's end or its failure, as a
// format's step does.
using xz_decode_fn = member_step (*)(void* state, const unsigned char* in, size_t in_len,
                                     char* out, size_t out_len);
member_step xz_held_step(xz_blocks& t, xz_held& h, xz_decode_fn decode, void* state,
                         const unsigned char* in, size_t in_len, char* out, size_t out_len);
