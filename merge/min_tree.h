// The smallest of k values that change one at a time, any of them: a
// tree of minima over the leaves, O(log k) a change, O(1) to ask. (The
// loser tree changes only its winner.) Internal to merge/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

struct min_tree {
  size_t size = 0;  // leaves, a power of two >= k
  std::unique_ptr<uint64_t[]> v;  // v[1] the root, v[size + i] leaf i
};

// Every leaf `none`. False when out of memory.
inline bool min_tree_init(min_tree& t, size_t k, uint64_t none) {
  t.size = 1;
  while (t.size < k) t.size *= 2;
  t.v.reset(new (std::nothrow) uint64_t[2 * t.size]);
  if (t.v == nullptr) return false;
  for (size_t i = 0; i < 2 * t.size; ++i) t.v[i] = none;
  return true;
}

inline void min_tree_set(min_tree& t, size_t i, uint64_t value) {
  size_t n = t.size + i;
  t.v[n] = value;
  for (n /= 2; n >= 1; n /= 2) {
    const uint64_t m = t.v[2 * n] < t.v[2 * n + 1] ? t.v[2 * n] : t.v[2 * n + 1];
    if (t.v[n] == m) break;  // the minimum above does not change
    t.v[n] = m;
  }
}

inline uint64_t min_tree_min(const min_tree& t) { return t.v[1]; }
