#include "input/block_region.h"

#include <sys/mman.h>
#include <sys/resource.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <new>


// AddressSanitizer learns which runs are free (g++ says it is on with a
// macro, clang with a feature).
#if defined(__SANITIZE_ADDRESS__)
#define REGION_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define REGION_ASAN 1
#endif
#endif
#if defined(REGION_ASAN)
#include <sanitizer/asan_interface.h>
#define REGION_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define REGION_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define REGION_POISON(p, n) ((void)(p), (void)(n))
#define REGION_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kGranule = kRegionGranule;
constexpr size_t kGranules = kRegionGranules;
constexpr size_t kLargestRun = size_t{16} * kGranule;  // the pool's largest block

constexpr uint8_t kTail = 0xff;
constexpr uint8_t kGone = 0xfe;  // given back to the system
static_assert(kLargestRun / kGranule < kTail);

// Reserves the region, under the lock. Address space only: pages come as
// they are first touched.
void reserve(block_region& r) {
  r.tried = true;
  // Under a limit on address space that the region would take much of,
  // the blocks come from the heap: reserved, it would count whole.
  struct rlimit rl;
  if (::getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
      rl.rlim_cur < kTightAddressSpace)
    return;
  void* p = ::mmap(nullptr, kRegionBytes + kHugePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return;
  r.mapping = p;
  const size_t past = reinterpret_cast<uintptr_t>(p) % kHugePage;
  char* base = static_cast<char*>(p) + (past == 0 ? 0 : kHugePage - past);
  ::madvise(base, kRegionBytes, MADV_HUGEPAGE);  // advice: fine if refused
  REGION_POISON(base, kRegionBytes);
  r.base.store(base, std::memory_order_release);
}

// The first granule of a free run of n granules aligned to n, or kGranules.
size_t find_run(const block_region& r, size_t n) {
  for (size_t i = 0; i + n <= kGranules; i += n) {
    size_t k = 0;
    while (k < n && r.run[i + k] == 0) ++k;
    if (k == n) return i;
  }
  return kGranules;
}

}  // namespace

block_ptr block_take(block_region& r, size_t size) {
  if (size >= kGranule && size <= kLargestRun && std::has_single_bit(size)) {
    std::lock_guard<std::mutex> lock(r.m);
    if (!r.tried) reserve(r);
    const size_t n = size / kGranule;
    char* base = r.base.load(std::memory_order_relaxed);
    const size_t at = base != nullptr ? find_run(r, n) : kGranules;
    if (at < kGranules) {
      r.run[at] = static_cast<uint8_t>(n);
      for (size_t k = 1; k < n; ++k) r.run[at + k] = kTail;
      char* p = base + at * kGranule;
      REGION_UNPOISON(p, size);
      return block_ptr(p, block_free{&r});
    }
  }
  return block_ptr(new (std::nothrow) char[size], block_free{&r});
}

// Not in a granule given back to the system: the heap may have mapped its
// address space again since, for buffers of its own.
bool block_in_region(const block_region& r, const char* p) {
  const char* base = r.base.load(std::memory_order_acquire);
  return base != nullptr && p >= base && p < base + kRegionBytes &&
         r.run[static_cast<size_t>(p - base) / kGranule] != kGone;
}

void region_give_back(block_region& r) {
  std::lock_guard<std::mutex> lock(r.m);
  char* base = r.base.load(std::memory_order_relaxed);
  if (base == nullptr) return;
  for (size_t i = 0; i < kGranules; ++i) {
    if (r.run[i] != 0) continue;
    r.run[i] = kGone;
    REGION_UNPOISON(base + i * kGranule, kGranule);
    ::munmap(base + i * kGranule, kGranule);
  }
}

void region_release(block_region& r) {
  std::lock_guard<std::mutex> lock(r.m);
  char* base = r.base.load(std::memory_order_relaxed);
  if (base != nullptr) {
    // What is still mapped: the slack around the aligned region, and every
    // granule not given back. A granule given back may hold another
    // mapping now, which is not the region's to unmap.
    char* const mapping = static_cast<char*>(r.mapping);
    ::munmap(mapping, static_cast<size_t>(base - mapping));
    ::munmap(base + kRegionBytes, static_cast<size_t>(mapping + kHugePage - base));
    for (size_t i = 0; i < kGranules; ++i) {
      if (r.run[i] == kGone) continue;
      REGION_UNPOISON(base + i * kGranule, kGranule);
      ::munmap(base + i * kGranule, kGranule);
    }
  }
  for (uint8_t& g : r.run) g = 0;
  r.mapping = nullptr;
  r.base.store(nullptr, std::memory_order_relaxed);
  r.tried = false;
}

void block_free::operator()(char* p) const {
  if (region == nullptr) {
    delete[] p;
    return;
  }
  block_region& r = *region;
  std::unique_lock<std::mutex> lock(r.m);
  if (!block_in_region(r, p)) {
    lock.unlock();
    delete[] p;
    return;
  }
  const size_t at = static_cast<size_t>(p - r.base.load(std::memory_order_relaxed)) / kGranule;
  const size_t n = r.run[at];
  for (size_t k = 0; k < n; ++k) r.run[at + k] = 0;
  REGION_POISON(p, n * kGranule);
}
