#include "input/budget.h"

#include <algorithm>
#include <bit>
#include <utility>

size_t budget_share(const ahead_budget& b) {
  const size_t live = std::max<size_t>(b.inputs - b.early, 1);
  const size_t even = std::min(kAheadMaxBlock, kAheadBudget / (kAheadBlocks * live));
  return std::max(kAheadMinBlock, std::bit_floor(even));
}

size_t budget_next_share(const ahead_budget& b, bool first_block) {
  const size_t s = budget_share(b);
  return first_block ? std::min(s, kAheadMinBlock) : s;
}

bool budget_fits(size_t cap, size_t share) { return cap != 0 && cap <= share && 2 * cap >= share; }

bool budget_room_for_early(const ahead_budget& b, size_t own_cap, bool first_block) {
  if (b.fixed != 0) return true;
  const size_t s = budget_next_share(b, first_block);
  if (budget_fits(own_cap, s)) return true;
  size_t unfit = 0;
  for (size_t k = 0; k < b.spares; ++k) {
    if (budget_fits(b.spare[k].cap, s)) return true;
    unfit += b.spare[k].cap;
  }
  return b.allocated - unfit + s <= kAheadBudget;
}

void budget_give_back(ahead_budget& b, block_ptr& data, size_t& cap) {
  if (b.fixed != 0) {  // counted against nothing: freed
    data.reset();
    cap = 0;
    return;
  }
  if (cap == 0) return;
  if (b.spares < kSpareBuffers && cap >= kAheadMinBlock) {
    b.spare[b.spares].data = std::move(data);
    b.spare[b.spares].cap = cap;
    ++b.spares;
  } else {
    data.reset();
    b.allocated -= cap;
  }
  cap = 0;
}

size_t budget_plan_block(ahead_budget& b, block_ptr& data, size_t& cap, bool first_block,
                         bool first_line) {
  if (b.fixed != 0) return b.fixed;
  if (first_line && first_block) {  // a new small buffer
    b.allocated += kSmallestBlock;
    return kSmallestBlock;
  }
  const size_t s = budget_next_share(b, first_block);
  if (budget_fits(cap, s)) return cap;
  budget_give_back(b, data, cap);
  // A spare that fits. (A larger one is not taken: its size would count
  // against the budget while only the share of it is used.)
  for (size_t k = 0; k < b.spares; ++k) {
    if (!budget_fits(b.spare[k].cap, s)) continue;
    data = std::move(b.spare[k].data);
    cap = b.spare[k].cap;
    b.spare[k] = std::move(b.spare[--b.spares]);
    return cap;
  }
  while (b.allocated + s > kAheadBudget && b.spares > 0) {  // spares that do not fit
    spare_buffer& last = b.spare[--b.spares];
    b.allocated -= last.cap;
    last.data.reset();
    last.cap = 0;
  }
  const size_t others = b.allocated;
  const size_t left = kAheadBudget - std::min(others, kAheadBudget);
  const size_t size = others + s <= kAheadBudget ? s : std::max(kAheadMinBlock, std::bit_floor(left));
  b.allocated = others + size;
  return size;
}

void budget_unplan(ahead_budget& b, size_t size) {
  if (b.fixed == 0) b.allocated -= size;
}

void budget_grew(ahead_budget& b, size_t more) {
  if (b.fixed == 0) b.allocated += more;
}

size_t budget_plan_piece(ahead_budget& b, block_ptr& data, size_t& cap, size_t piece) {
  if (b.fixed != 0 || cap >= piece) return 0;  // fixed: a piece's buffer grows as it needs
  budget_give_back(b, data, cap);
  for (size_t k = 0; k < b.spares; ++k) {
    if (b.spare[k].cap != piece) continue;
    data = std::move(b.spare[k].data);
    cap = piece;
    b.spare[k] = std::move(b.spare[--b.spares]);
    return 0;
  }
  while (b.allocated + piece > kAheadBudget && b.spares > 0) {
    spare_buffer& last = b.spare[--b.spares];
    b.allocated -= last.cap;
    last.data.reset();
    last.cap = 0;
  }
  b.allocated += piece;
  return piece;
}
