// Where the decoding pool's block buffers live: one region of address
// space the size of the pool's budget, aligned to 2 MiB and marked for
// transparent huge pages, handed out in power-of-two runs of granules of
// the pool's smallest block. Each 4 KiB page a buffer touches for the first time costs a
// page fault, about 12 us on a virtual machine, and a merge of compressed
// logs touches its whole budget: 16,384 faults for 64 MiB, against 32 with
// huge pages. A buffer the region cannot hold (a size it does not serve,
// or no aligned run free) comes from the heap, so nothing fails for want
// of the region. Internal to input/.
#pragma once

#include <cstddef>
#include <memory>

struct block_free {
  void operator()(char* p) const;
};
using block_ptr = std::unique_ptr<char[], block_free>;

// A buffer of `size` bytes: from the region when `size` is a power of two
// from kAheadMinBlock to kAheadMaxBlock and an aligned run that large is
// free; else from the heap. Null when out of memory. Thread-safe. The
// region is reserved on first use and kept for the process: its pages,
// once touched, serve the next merge too.
block_ptr block_take(size_t size);

// Whether p lies in the region (for tests: which buffers it served).
bool block_in_region(const char* p);
