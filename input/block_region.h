// Where the decoding pool's block buffers live: one region of address
// space the size of the pool's budget (budget.h), aligned to 2 MiB and marked for
// transparent huge pages, handed out in power-of-two runs of granules of
// the pool's smallest block. Each 4 KiB page a buffer touches for the first time costs a
// page fault, about 12 us on a virtual machine, and a merge of compressed
// logs touches its whole budget: 16,384 faults for 64 MiB, against 32 with
// huge pages. A buffer the region cannot hold (a size it does not serve,
// or no aligned run free) comes from the heap, so nothing fails for want
// of the region. Internal to input/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// The region's size and its granule: the pool's budget and smallest block.
inline constexpr size_t kRegionBytes = size_t{64} << 20;
// A limit on address space below this is tight: the region is not
// reserved, and the pool decodes on one thread at a time.
inline constexpr uint64_t kTightAddressSpace = uint64_t{1} << 30;
inline constexpr size_t kRegionGranule = size_t{256} << 10;
inline constexpr size_t kRegionGranules = kRegionBytes / kRegionGranule;

struct block_region {
  std::mutex m;
  bool tried = false;
  void* mapping = nullptr;  // as mapped, for unmapping
  // Set once, under the lock; read without it by block_free (whose buffer
  // was taken after it was set).
  std::atomic<char*> base{nullptr};  // null: every buffer comes from the heap
  // For each granule: 0 when free; else the granules of the run it
  // belongs to, at the run's first granule, and kTail at the others.
  uint8_t run[kRegionGranules] = {};
};

// Gives a buffer back to its region, or to the heap.
struct block_free {
  block_region* region = nullptr;
  void operator()(char* p) const;
};
using block_ptr = std::unique_ptr<char[], block_free>;

// A buffer of `size` bytes: from the region when `size` is a power of two
// from one granule to 16 and an aligned run that large is free; else from
// the heap. Null when out of memory. Thread-safe. The region is reserved
// on first use.
block_ptr block_take(block_region& r, size_t size);

// Whether p is a buffer the region served (block_free asks, under the
// region's lock; tests ask which buffers it served).
bool block_in_region(const block_region& r, const char* p);

// Memory ran out: the address space of the region's free granules goes
// back to the system, and they are never handed out again (their buffers
// come from the heap). Thread-safe.
void region_give_back(block_region& r);

// Gives the region's address space back. Every buffer taken from it must
// have been freed.
void region_release(block_region& r);
