#include "input/budget.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr size_t KiB = 1024, MiB = 1024 * KiB;

// A budget and one input's next block, before and after planning it.
struct budget_case {
  const char* name;
  size_t inputs, early, allocated;
  std::vector<size_t> spares;  // sizes of the buffers kept
  size_t own;                  // the input's buffer for the block (0: none)
  bool first, first_line;
  // Expected: whether an early start would find room, the block's size,
  // and the budget after planning it.
  bool room;
  size_t size, allocated_after, spares_after;
};

const budget_case kCases[] = {
    {"one input gets the largest block", 1, 0, 0, {}, 0, false, false, true, 4 * MiB, 4 * MiB, 0},
    {"sixteen share the budget in powers of two", 16, 0, 0, {}, 0, false, false, true, 1 * MiB,
     1 * MiB, 0},
    {"never below the smallest block", 200, 0, 0, {}, 0, false, false, true, 256 * KiB, 256 * KiB, 0},
    {"inputs started early take no share", 4, 3, 0, {}, 0, false, false, true, 4 * MiB, 4 * MiB, 0},
    {"a first block is small", 1, 0, 0, {}, 0, true, false, true, 256 * KiB, 256 * KiB, 0},
    {"a first line's block is a page", 1, 0, 0, {}, 0, true, true, true, 4 * KiB, 4 * KiB, 0},
    {"its own buffer that fits is kept", 2, 0, 24 * MiB, {}, 4 * MiB, false, false, true, 4 * MiB,
     24 * MiB, 0},
    {"a spare that fits is taken, its own kept as a spare", 16, 0, 8 * MiB, {1 * MiB}, 4 * MiB,
     false, false, true, 1 * MiB, 8 * MiB, 1},
    {"a first line's page is freed, not kept", 1, 0, 4 * KiB, {}, 4 * KiB, false, false, true,
     4 * MiB, 4 * MiB, 0},
    {"spares that do not fit are freed, then what is left is given", 2, 0, 64 * MiB,
     {256 * KiB, 512 * KiB}, 0, false, false, false, 512 * KiB, 64 * MiB - 256 * KiB, 0},
    {"a full budget still gives the smallest block", 1, 0, 64 * MiB - 100 * KiB, {}, 0, false,
     false, false, 256 * KiB, 64 * MiB + 156 * KiB, 0},
};

}  // namespace

TEST(Budget, SharesBlocksAndSpares) {
  for (const budget_case& c : kCases) {
    ahead_budget b;
    b.inputs = c.inputs;
    b.early = c.early;
    b.allocated = c.allocated;
    for (size_t cap : c.spares) b.spare[b.spares++].cap = cap;
    EXPECT_EQ(budget_room_for_early(b, c.own, c.first), c.room) << c.name;
    block_ptr data;
    size_t cap = c.own;
    EXPECT_EQ(budget_plan_block(b, data, cap, c.first, c.first_line), c.size) << c.name;
    EXPECT_EQ(b.allocated, c.allocated_after) << c.name;
    EXPECT_EQ(b.spares, c.spares_after) << c.name;
  }
}
