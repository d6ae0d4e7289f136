// A tournament (loser) tree that picks, among k inputs, the one whose
// current line comes first: the smallest key, and on equal keys the input
// named first. Choosing and replacing the winner costs about log2(k)
// comparisons, where a plain scan would cost k.
#pragma once

#include <cstddef>
#include <cstdint>

// The key of an input that has no line left. No line's key comes near it.
inline constexpr int64_t kExhausted = INT64_MAX;

struct loser_tree {
  size_t k = 0;
  int64_t* keys = nullptr;   // keys[i]: key of input i's current line
  uint32_t* node = nullptr;  // node[0]: the winner; node[1..k-1]: losers
};

// Allocates a tree for k >= 1 inputs, every key kExhausted. Returns false
// when memory runs out.
bool tree_init(loser_tree& t, size_t k);
void tree_free(loser_tree& t);

// Plays every match afresh; call after setting all the keys.
void tree_build(loser_tree& t);

// True when input a's line goes before input b's.
inline bool tree_before(const loser_tree& t, size_t a, size_t b) {
  return t.keys[a] < t.keys[b] || (t.keys[a] == t.keys[b] && a < b);
}

inline size_t tree_winner(const loser_tree& t) { return t.node[0]; }

// Replays the matches of input i after keys[i] changed; i must be the
// winner.
void tree_replay(loser_tree& t, size_t i);

// The input that would win if the winner were gone, or k when there is no
// other input. It is the best of the winner's own losers.
size_t tree_runner_up(const loser_tree& t);
