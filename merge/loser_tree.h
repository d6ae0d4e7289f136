// A tournament (loser) tree that picks, among k inputs, the one whose
// current line comes first: the smallest key, and on equal keys the input
// named first. Choosing and replacing the winner costs about log2(k)
// comparisons, where a plain scan would cost k.
//
// Each entry is one 64-bit value: the key, offset to be unsigned, in the
// high bits and the input's index in the low kIndexBits, so that one
// integer comparison orders by key and then by input, and a match reads
// nothing but the tree's own array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr unsigned kIndexBits = 24;
inline constexpr size_t kMaxTreeInputs = size_t{1} << kIndexBits;
inline constexpr uint64_t kIndexMask = kMaxTreeInputs - 1;

// Keys are seconds around 1990 with a year of at most four digits, so they
// lie well within +-2^39. The top key code is kept for inputs that have no
// line left.
inline constexpr int64_t kKeyBias = int64_t{1} << 39;
inline constexpr uint64_t kExhaustedCode = (uint64_t{1} << (64 - kIndexBits)) - 1;

// The tree's value for input i with a line of this key.
inline uint64_t tree_value(int64_t key, size_t i) {
  int64_t biased = key + kKeyBias;
  if (biased < 0) biased = 0;  // never for a real line; kept ordered anyway
  if (static_cast<uint64_t>(biased) >= kExhaustedCode) biased = static_cast<int64_t>(kExhaustedCode - 1);
  return (static_cast<uint64_t>(biased) << kIndexBits) | i;
}

// The value of input i once it has no line left: after every line.
inline uint64_t tree_exhausted(size_t i) { return (kExhaustedCode << kIndexBits) | i; }

inline bool tree_is_exhausted(uint64_t value) { return (value >> kIndexBits) == kExhaustedCode; }
inline size_t tree_input(uint64_t value) { return static_cast<size_t>(value & kIndexMask); }

struct loser_tree {
  size_t k = 0;
  std::unique_ptr<uint64_t[]> store;  // node, then leaf
  uint64_t* node = nullptr;  // node[0]: the winner; node[1..k-1]: losers
  uint64_t* leaf = nullptr;  // leaf[i]: input i's value, for building
};

// Allocates a tree for 1 <= k <= kMaxTreeInputs inputs, every input
// exhausted. Returns false when memory runs out. The tree frees itself.
bool tree_init(loser_tree& t, size_t k);

// Plays every match afresh; call after setting all of leaf[].
void tree_build(loser_tree& t);

inline uint64_t tree_winner(const loser_tree& t) { return t.node[0]; }

// Gives the winner its next value (same input index) and replays its matches.
void tree_replay(loser_tree& t, uint64_t value);

// The value that would win if the winner were gone: the best of the
// winner's own losers, or the winner's own exhausted value when k == 1.
uint64_t tree_runner_up(const loser_tree& t);
