// How long choosing the next input takes, at k inputs: one winner taken and
// its next key replayed into the tournament tree, as the merge does when
// inputs interleave line by line (runs of one line, the worst case); with
// the runner-up looked up first, as the merge does before writing a run.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "merge/loser_tree.h"

namespace {

// A tree over k inputs with random starting keys, and key increments drawn
// in advance so that the timed loop measures the tree, not the random
// number generator.
void select_next(benchmark::State& state, bool with_runner_up) {
  const size_t k = static_cast<size_t>(state.range(0));
  loser_tree t;
  if (!tree_init(t, k)) return state.SkipWithError("no memory");
  std::mt19937_64 rng(1);
  std::vector<int64_t> key(k), step(4096);
  for (size_t i = 0; i < k; ++i) {
    key[i] = static_cast<int64_t>(rng() % 1000);
    t.leaf[i] = tree_value(key[i], i);
  }
  tree_build(t);
  for (auto& s : step) s = static_cast<int64_t>(rng() % 4);
  size_t n = 0;
  for (auto _ : state) {
    const size_t w = tree_input(tree_winner(t));
    if (with_runner_up) benchmark::DoNotOptimize(tree_runner_up(t));
    key[w] += step[n++ & 4095];
    tree_replay(t, tree_value(key[w], w));
    benchmark::DoNotOptimize(t.node[0]);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_SelectNext(benchmark::State& state) { select_next(state, false); }
void BM_SelectNextWithRunnerUp(benchmark::State& state) { select_next(state, true); }
BENCHMARK(BM_SelectNext)->Arg(2)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_SelectNextWithRunnerUp)->Arg(2)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
