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

// A piece's buffer: its own, a spare of the piece's size, or a new one,
// for which spares go while the budget is short; never piling up spares.
TEST(Budget, PiecesTakeSparesOfTheirSize) {
  const struct {
    const char* name;
    size_t allocated;
    std::vector<size_t> spares;
    size_t own;
    size_t reserved, allocated_after, spares_after, cap_after;
  } cases[] = {
      {"its own buffer is kept", 8 * MiB, {}, 2 * MiB, 0, 8 * MiB, 0, 2 * MiB},
      {"a spare of its size is taken", 8 * MiB, {4 * MiB, 1 * MiB}, 0, 0, 8 * MiB, 1, 1 * MiB},
      {"a smaller own buffer becomes a spare", 8 * MiB, {}, 256 * KiB, 1 * MiB, 9 * MiB, 1, 0},
      {"spares go while the budget is short", 64 * MiB, {4 * MiB, 4 * MiB}, 0, 1 * MiB,
       61 * MiB, 1, 0},
  };
  for (const auto& c : cases) {
    ahead_budget b;
    b.allocated = c.allocated;
    for (size_t cap : c.spares) b.spare[b.spares++].cap = cap;
    block_ptr data;
    size_t cap = c.own;
    EXPECT_EQ(budget_plan_piece(b, data, cap, 1 * MiB), c.reserved) << c.name;
    EXPECT_EQ(b.allocated, c.allocated_after) << c.name;
    EXPECT_EQ(b.spares, c.spares_after) << c.name;
    EXPECT_EQ(cap, c.cap_after) << c.name;
  }
}
