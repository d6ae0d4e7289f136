#include "merge/loser_tree.h"

#include <cstdlib>

// Layout: leaves are the implicit nodes k .. 2k-1 (leaf k + i is input i),
// internal nodes 1 .. k-1 each hold the loser of the match played there, and
// node[0] holds the overall winner. This shape works for any k, not only
// powers of two.

bool tree_init(loser_tree& t, size_t k) {
  t = loser_tree{};
  t.keys = static_cast<int64_t*>(std::malloc(k * sizeof(int64_t)));
  t.node = static_cast<uint32_t*>(std::malloc(k * sizeof(uint32_t)));
  if (t.keys == nullptr || t.node == nullptr) {
    tree_free(t);
    return false;
  }
  t.k = k;
  for (size_t i = 0; i < k; ++i) {
    t.keys[i] = kExhausted;
    t.node[i] = 0;
  }
  return true;
}

void tree_free(loser_tree& t) {
  std::free(t.keys);
  std::free(t.node);
  t = loser_tree{};
}

namespace {

// Plays the subtree under node n and returns its winner.
uint32_t play(loser_tree& t, size_t n) {
  if (n >= t.k) return static_cast<uint32_t>(n - t.k);
  const uint32_t left = play(t, 2 * n);
  const uint32_t right = play(t, 2 * n + 1);
  if (tree_before(t, left, right)) {
    t.node[n] = right;
    return left;
  }
  t.node[n] = left;
  return right;
}

}  // namespace

void tree_build(loser_tree& t) { t.node[0] = play(t, 1); }

void tree_replay(loser_tree& t, size_t i) {
  uint32_t winner = static_cast<uint32_t>(i);
  for (size_t n = (i + t.k) / 2; n >= 1; n /= 2) {
    if (tree_before(t, t.node[n], winner)) {
      const uint32_t loser = winner;
      winner = t.node[n];
      t.node[n] = loser;
    }
  }
  t.node[0] = winner;
}

size_t tree_runner_up(const loser_tree& t) {
  size_t best = t.k;
  for (size_t n = (t.node[0] + t.k) / 2; n >= 1; n /= 2) {
    if (best == t.k || tree_before(t, t.node[n], best)) best = t.node[n];
  }
  return best;
}
