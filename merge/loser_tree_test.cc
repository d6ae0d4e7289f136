#include "merge/loser_tree.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// Against a plain scan of (key, input), over many replays with few distinct
// keys (so that ties, broken by input order, are common), keys far apart in
// sign and size, and inputs running dry.
TEST(LoserTree, AgreesWithAScanOfAllInputs) {
  std::mt19937 rng(7);
  const int64_t far = int64_t{300} << 30;  // beyond any 32-bit key
  for (size_t k : {1, 2, 3, 5, 8, 13, 16, 17, 100, 257}) {
    loser_tree t;
    ASSERT_TRUE(tree_init(t, k));
    std::vector<int64_t> key(k);
    std::vector<bool> dry(k, false);
    for (size_t i = 0; i < k; ++i) {
      key[i] = static_cast<int64_t>(rng() % 5) - 2;
      t.leaf[i] = tree_value(key[i], i);
    }
    tree_build(t);
    auto best_but = [&](size_t skip) {
      size_t best = k;
      for (size_t i = 0; i < k; ++i)
        if (i != skip && !dry[i] && (best == k || key[i] < key[best])) best = i;
      return best;
    };
    for (int round = 0; round < 2000; ++round) {
      const size_t w = best_but(k);
      if (w == k) {
        EXPECT_TRUE(tree_is_exhausted(tree_winner(t)));
        break;
      }
      ASSERT_EQ(tree_input(tree_winner(t)), w) << "k=" << k << " round " << round;
      const size_t r = best_but(w);
      const uint64_t rival = tree_runner_up(t);
      ASSERT_EQ(tree_is_exhausted(rival), r == k) << "k=" << k;
      if (r != k) {
        ASSERT_EQ(tree_input(rival), r) << "k=" << k;
      }
      // Keys mostly rise, sometimes fall (an input out of order) or jump
      // far, and inputs run dry now and then.
      const unsigned roll = rng() % 12;
      if (roll == 0) {
        dry[w] = true;
        tree_replay(t, tree_exhausted(w));
        continue;
      }
      if (roll == 2) {
        key[w] = (rng() % 2 ? far : -far) + static_cast<int64_t>(rng() % 3);
      } else {
        key[w] += roll == 1 ? -static_cast<int64_t>(rng() % 3) : static_cast<int64_t>(rng() % 3);
      }
      tree_replay(t, tree_value(key[w], w));
    }
  }
}
