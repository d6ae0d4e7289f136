#include "merge/loser_tree.h"

#include <new>

// Layout: leaves are the implicit nodes k .. 2k-1 (leaf k + i is input i),
// internal nodes 1 .. k-1 each hold the loser of the match played there, and
// node[0] holds the overall winner. This shape works for any k, not only
// powers of two.

bool tree_init(loser_tree& t, size_t k) {
  t = loser_tree{};
  if (k == 0 || k > kMaxTreeInputs) return false;
  t.store.reset(new (std::nothrow) uint64_t[2 * k]);
  if (t.store == nullptr) return false;
  t.node = t.store.get();
  t.leaf = t.store.get() + k;
  t.k = k;
  for (size_t i = 0; i < k; ++i) {
    t.leaf[i] = tree_exhausted(i);
    t.node[i] = 0;
  }
  return true;
}

namespace {

// Plays the subtree under node n and returns its winner.
uint64_t play(loser_tree& t, size_t n) {
  if (n >= t.k) return t.leaf[n - t.k];
  const uint64_t left = play(t, 2 * n);
  const uint64_t right = play(t, 2 * n + 1);
  if (left < right) {
    t.node[n] = right;
    return left;
  }
  t.node[n] = left;
  return right;
}

}  // namespace

void tree_build(loser_tree& t) { t.node[0] = t.k == 1 ? t.leaf[0] : play(t, 1); }

void tree_replay(loser_tree& t, uint64_t value) {
  for (size_t n = (tree_input(value) + t.k) / 2; n >= 1; n /= 2) {
    const uint64_t there = t.node[n];
    if (there < value) {
      t.node[n] = value;
      value = there;
    }
  }
  t.node[0] = value;
}

uint64_t tree_runner_up(const loser_tree& t) {
  uint64_t best = tree_exhausted(tree_input(t.node[0]));
  for (size_t n = (tree_input(t.node[0]) + t.k) / 2; n >= 1; n /= 2)
    if (t.node[n] < best) best = t.node[n];
  return best;
}
