// How long choosing the next input takes, at k inputs: one winner taken and
// its next key replayed into the tournament tree, as the merge does when
// inputs interleave line by line (runs of one line, the worst case).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "driver/loser_tree.h"

namespace {

void BM_SelectNext(benchmark::State& state) {
  const size_t k = static_cast<size_t>(state.range(0));
  loser_tree t;
  if (!tree_init(t, k)) {
    state.SkipWithError("no memory");
    return;
  }
  std::mt19937_64 rng(1);
  for (size_t i = 0; i < k; ++i) t.keys[i] = static_cast<int64_t>(rng() % 1000);
  tree_build(t);
  // Increments drawn in advance so the loop measures the tree, not the
  // random number generator.
  std::vector<int64_t> step(4096);
  for (auto& s : step) s = static_cast<int64_t>(rng() % 4);
  size_t n = 0;
  for (auto _ : state) {
    const size_t w = tree_winner(t);
    t.keys[w] += step[n++ & 4095];
    tree_replay(t, w);
    benchmark::DoNotOptimize(t.node[0]);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  tree_free(t);
}
BENCHMARK(BM_SelectNext)->Arg(2)->Arg(16)->Arg(256)->Arg(4096);

// The same with the runner-up looked up first, as the merge does before
// writing a run of lines from the winner.
void BM_SelectNextWithRunnerUp(benchmark::State& state) {
  const size_t k = static_cast<size_t>(state.range(0));
  loser_tree t;
  if (!tree_init(t, k)) {
    state.SkipWithError("no memory");
    return;
  }
  std::mt19937_64 rng(1);
  for (size_t i = 0; i < k; ++i) t.keys[i] = static_cast<int64_t>(rng() % 1000);
  tree_build(t);
  std::vector<int64_t> step(4096);
  for (auto& s : step) s = static_cast<int64_t>(rng() % 4);
  size_t n = 0;
  for (auto _ : state) {
    const size_t w = tree_winner(t);
    benchmark::DoNotOptimize(tree_runner_up(t));
    t.keys[w] += step[n++ & 4095];
    tree_replay(t, w);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  tree_free(t);
}
BENCHMARK(BM_SelectNextWithRunnerUp)->Arg(2)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
