// Decoding ahead: compressed inputs that are regular files are decoded by a
// small pool of threads, whole large blocks at a time, into buffers that the
// merge thread then reads. Decoding in large blocks keeps each decoder's
// tables in the caches, and the pool puts every core to work; the bytes,
// the errors and the point at which an error is reported are exactly those
// of decoding in the merge thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "input/decode_plan.h"
#include "input/decoder.h"

// The memory budget and how it is shared among the inputs being merged now
// (not the paths named: inputs that wait their turn hold no place): at
// most kAheadBlocks blocks per input, each of kAheadBudget / (kAheadBlocks
// x inputs) bytes rounded down to a power of two, but no more than
// kAheadMaxBlock, planned again at every block as inputs come and go; an
// input's first block is kAheadMinBlock at most, since the merge waits
// for it. The buffers come from block_region.h.
// Inputs started ahead of their turn take only budget left over, and the
// buffers of inputs that have ended are kept for the next. Below kAheadMinBlock a block would be too
// small to keep a decoder's tables warm, so at most kAheadBudget /
// (kAheadBlocks x kAheadMinBlock) inputs (85) decode ahead at once; more
// decode in the merge thread. Chosen on a 2-core machine: bzip2 ran 2.8 to
// 3.7 times faster with 1 to 4 MiB blocks than with 64 KiB ones, and 3
// blocks keep a worker busy on an input while the merge reads another
// block of it.
inline constexpr size_t kAheadBudget = size_t{64} << 20;
inline constexpr size_t kAheadBlocks = 3;
inline constexpr size_t kAheadMaxBlock = size_t{4} << 20;
inline constexpr size_t kAheadMinBlock = size_t{256} << 10;

// Prepares the pool for a merge of `inputs` inputs (threads start when the
// first compressed input is handed over). Does nothing when the plan says
// off. Returns false when out of memory.
bool decode_ahead_setup(size_t inputs, const decode_plan& plan);

// Stops the pool's threads and waits for them. Every input decoding ahead
// must be closed first.
void decode_ahead_shutdown();

struct ahead_input;
// Closing waits for any block of the input being decoded, then frees it
// all, the decoder included.
struct ahead_closer {
  void operator()(ahead_input* in) const;
};
using ahead_ptr = std::unique_ptr<ahead_input, ahead_closer>;

// Hands `dec` (at the start of its data) to the pool and takes it. Returns
// null and leaves `dec` with the caller when the pool is not set up or
// full: the caller then decodes in its own thread; or, with the decoder's
// fault set to ENOMEM, when memory runs out.
enum class ahead_turn {
  now,         // the merge reads it now
  early,       // ahead of its turn in the merge: it decodes only into budget
               // that the inputs being merged leave over, until its first read
  first_line,  // at start-up, for its first line: one small block, and the
               // next only when the merge has read it
};
ahead_ptr ahead_open(decoder_ptr& dec, ahead_turn turn = ahead_turn::now);

// The pool's decoding threads (0 when off): how many inputs start-up can
// decode at once.
unsigned ahead_threads();

// Whether the pool would decode one more input early now: it has a place,
// spare budget, and fewer inputs started early still decoding than it has
// threads (so that the decoders alive are at most the inputs being merged
// plus that many). ahead_epoch() changes whenever the answer may have.
bool ahead_room_for_early();
uint64_t ahead_epoch();

// Like decoder_read: up to n bytes, 0 at the end, -1 with the decoder's
// fault set. The decoding threads write that fault record; it is settled
// before this returns 0 or -1.
ssize_t ahead_read(ahead_input& in, char* out, size_t n);

// How far into the compressed file the block the merge reads reaches (the
// decoding threads read further ahead).
uint64_t ahead_position(const ahead_input& in);
