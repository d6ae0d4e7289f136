// The decoding pool's memory budget, as a value: how it is shared among the
// inputs decoding ahead, the size of each input's next block, whether an
// input may start ahead of its turn, and the buffers kept for the next
// inputs. Plain arithmetic on a record that the pool keeps under its lock.
// Internal to input/.
//
// The budget is shared among the inputs being merged now (not the paths
// named: inputs that wait their turn hold no place): at most kAheadBlocks
// blocks per input, each of kAheadBudget / (kAheadBlocks x inputs) bytes
// rounded down to a power of two, but no more than kAheadMaxBlock, planned
// again at every block as inputs come and go; an input's first block is
// kAheadMinBlock at most, since the merge waits for it. Inputs started
// ahead of their turn take only budget left over, and the buffers of
// inputs that have ended are kept for the next. Below kAheadMinBlock a
// block would be too small to keep a decoder's tables warm, so at most
// kAheadBudget / (kAheadBlocks x kAheadMinBlock) inputs (85) decode ahead
// at once; more decode in the merge thread. Chosen on a 2-core machine:
// bzip2 ran 2.8 to 3.7 times faster with 1 to 4 MiB blocks than with
// 64 KiB ones, and 3 blocks keep a worker busy on an input while the merge
// reads another block of it.
#pragma once

#include <array>
#include <cstddef>

#include "input/block_region.h"

inline constexpr size_t kAheadBudget = size_t{64} << 20;
inline constexpr size_t kAheadBlocks = 3;
inline constexpr size_t kAheadMaxBlock = size_t{4} << 20;
inline constexpr size_t kAheadMinBlock = size_t{256} << 10;
// The smallest buffer: an input's buffer for a file smaller than a block,
// and the block of a first line read at start-up (most first lines fit,
// and a file that then waits its turn has decoded little for nothing).
inline constexpr size_t kSmallestBlock = 4096;
static_assert(kAheadBudget == kRegionBytes && kAheadMinBlock == kRegionGranule &&
              kAheadMaxBlock <= 16 * kRegionGranule);
// As many spares as the budget can hold of the smallest blocks.
inline constexpr size_t kSpareBuffers = kAheadBudget / kAheadMinBlock;

struct spare_buffer {
  block_ptr data;
  size_t cap = 0;
};

struct ahead_budget {
  // Nonzero: every block is of this size, counted against nothing, and
  // every input may start ahead (the plan's fixed block, which puts block
  // ends and hand-offs everywhere); 0: the budget shares kAheadBudget.
  size_t fixed = 0;
  size_t inputs = 0;     // inputs decoding ahead
  size_t early = 0;      // of them, started ahead of their turn
  size_t allocated = 0;  // bytes of every block buffer, spares included
  std::array<spare_buffer, kSpareBuffers> spare;  // buffers of closed inputs, for the next
  size_t spares = 0;
};

// Each input's share: a block for each place in its ring, shared by the
// inputs being merged, rounded down to a power of two, so that as inputs
// come and go the buffers of those that have gone fit those that come.
size_t budget_share(const ahead_budget& b);

// The size of an input's next block: its first is small (the merge is
// waiting for it, or, started early, the budget left over then gives a
// lead to more of the files that come next).
size_t budget_next_share(const ahead_budget& b, bool first_block);

// A buffer that is at most the share and at least half of it is kept.
bool budget_fits(size_t cap, size_t share);

// Whether the budget has an input's next block (first or not, with a
// buffer of own_cap, 0 for none) without taking from the inputs being
// merged: in its own buffer, a spare that fits, or room once the spares
// that do not fit are freed.
bool budget_room_for_early(const ahead_budget& b, size_t own_cap, bool first_block);

// Keeps a closed input's buffer as a spare, or frees it when enough are
// kept; either way the input holds it no more.
void budget_give_back(ahead_budget& b, block_ptr& data, size_t& cap);

// Plans the next block of an input whose buffer for it is (data, cap):
// reserves its size from the budget and returns it. A buffer that fits the
// share is kept, else it is given back and a spare that fits is moved in;
// failing both, the size is reserved for a new buffer (data stays null,
// and the caller makes it), after freeing spares that no longer fit: the
// share, or less while the others still hold more than theirs, never less
// than kAheadMinBlock. A first line's first block is kSmallestBlock.
size_t budget_plan_block(ahead_budget& b, block_ptr& data, size_t& cap, bool first_block,
                         bool first_line);

// A block planned that never got its buffer, or a piece's buffer that
// grew by `more` bytes: the bytes counted change.
void budget_unplan(ahead_budget& b, size_t size);
void budget_grew(ahead_budget& b, size_t more);

// Plans the buffer of a piece (decode_ahead.h: a file decoded a piece a
// block), at least `piece` bytes: the input's own buffer for the slot,
// else a spare of that size, else `piece` bytes reserved for a new buffer
// (data stays null, and the caller makes it), after freeing spares while
// the budget is short. Returns the bytes reserved for a new buffer, or 0.
size_t budget_plan_piece(ahead_budget& b, block_ptr& data, size_t& cap, size_t piece);
