#include "input/block_region.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "input/budget.h"

// Runs of every size the region serves begin on a huge page or within one
// at a multiple of their size, and never overlap; when no aligned run is
// free, or the size is not one it serves, the buffer comes from the heap;
// a run given back is served again.
TEST(BlockRegion, ServesAlignedRunsThenTheHeap) {
  block_region r;
  for (size_t size = kAheadMinBlock; size <= kAheadMaxBlock; size *= 2) {
    std::vector<block_ptr> held;
    for (size_t i = 0; i < kAheadBudget / size; ++i) {
      held.push_back(block_take(r, size));
      char* p = held.back().get();
      ASSERT_TRUE(block_in_region(r, p)) << size << " #" << i;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % std::min(size, size_t{2} << 20), 0u);
      std::memset(p, static_cast<int>(i), size);  // overlapping runs would clash below
    }
    for (size_t i = 0; i < held.size(); ++i)
      EXPECT_EQ(held[i][size - 1], static_cast<char>(i)) << size << " #" << i;
    block_ptr full = block_take(r, size);  // the region is full
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(block_in_region(r, full.get()));
    char* const freed = held[3].get();
    held[3].reset();
    EXPECT_EQ(block_take(r, size).get(), freed);  // taken and given back at once
  }
  for (size_t size : {size_t{4096}, 3 * kAheadMinBlock, 2 * kAheadMaxBlock}) {
    block_ptr p = block_take(r, size);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(block_in_region(r, p.get())) << size;
  }
  // Given back, the record serves again from a region reserved anew.
  region_release(r);
  block_ptr again = block_take(r, kAheadMinBlock);
  EXPECT_TRUE(block_in_region(r, again.get()));
  again.reset();
  region_release(r);
}

// Granules given back when memory runs out are the system's again: another
// mapping may take their addresses, and releasing the region later leaves
// that mapping whole (it once unmapped all of its first range).
TEST(BlockRegion, GivenBackGranulesAreNeverUnmappedAgain) {
  block_region r;
  block_ptr kept = block_take(r, kAheadMinBlock);
  ASSERT_TRUE(block_in_region(r, kept.get()));
  region_give_back(r);
  char* const hole = kept.get() + kRegionGranule;  // a free granule, now given back
  EXPECT_FALSE(block_in_region(r, hole));
  void* other = mmap(hole, kRegionGranule, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(other, static_cast<void*>(hole));
  std::memset(hole, 'x', kRegionGranule);
  kept.reset();
  region_release(r);
  unsigned char resident = 0;  // ENOMEM from mincore: no longer mapped
  EXPECT_EQ(mincore(hole, 4096, &resident), 0) << "the other mapping was unmapped";
  munmap(hole, kRegionGranule);
}
