#include "merge/loser_tree.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// The input a plain scan would choose, skipping `skip`.
size_t scan_best(const loser_tree& t, size_t skip) {
  size_t best = t.k;
  for (size_t i = 0; i < t.k; ++i) {
    if (i == skip) continue;
    if (best == t.k || tree_before(t, i, best)) best = i;
  }
  return best;
}

}  // namespace

// Against a plain scan, over many replays with few distinct keys (so that
// ties, broken by input order, are common) and inputs running dry.
TEST(LoserTree, AgreesWithAScanOfAllInputs) {
  std::mt19937 rng(7);
  for (size_t k : {1, 2, 3, 5, 8, 13, 16, 17, 100, 257}) {
    loser_tree t;
    ASSERT_TRUE(tree_init(t, k));
    for (size_t i = 0; i < k; ++i) t.keys[i] = static_cast<int64_t>(rng() % 5);
    tree_build(t);
    for (int round = 0; round < 2000; ++round) {
      const size_t w = tree_winner(t);
      ASSERT_EQ(w, scan_best(t, k)) << "k=" << k << " round " << round;
      const size_t r = tree_runner_up(t);
      const size_t expect_r = scan_best(t, w);
      ASSERT_EQ(r, expect_r) << "k=" << k;
      if (t.keys[w] == kExhausted) break;
      // Keys mostly rise, sometimes fall (an input out of order), and
      // inputs run dry now and then.
      const unsigned roll = rng() % 10;
      if (roll == 0) {
        t.keys[w] = kExhausted;
      } else if (roll == 1) {
        t.keys[w] -= static_cast<int64_t>(rng() % 3);
      } else {
        t.keys[w] += static_cast<int64_t>(rng() % 3);
      }
      tree_replay(t, w);
    }
    tree_free(t);
  }
}
