// How long choosing the next input takes, at k inputs: one winner taken and
// its next key replayed into the tournament tree, as the merge does when
// inputs interleave line by line (runs of one line, the worst case).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "merge/loser_tree.h"

namespace {

// A tree over k inputs with random starting keys, and key increments drawn
// in advance so that the timed loops measure the tree, not the random
// number generator.
struct setup {
  loser_tree t;
  std::vector<int64_t> step;
  bool ok;
  explicit setup(size_t k) : step(4096) {
    ok = tree_init(t, k);
    if (!ok) return;
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < k; ++i) t.keys[i] = static_cast<int64_t>(rng() % 1000);
    tree_build(t);
    for (auto& s : step) s = static_cast<int64_t>(rng() % 4);
  }
  ~setup() { tree_free(t); }
};

void BM_SelectNext(benchmark::State& state) {
  setup s(static_cast<size_t>(state.range(0)));
  if (!s.ok) return state.SkipWithError("no memory");
  size_t n = 0;
  for (auto _ : state) {
    const size_t w = tree_winner(s.t);
    s.t.keys[w] += s.step[n++ & 4095];
    tree_replay(s.t, w);
    benchmark::DoNotOptimize(s.t.node[0]);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SelectNext)->Arg(2)->Arg(16)->Arg(256)->Arg(4096);

// The same with the runner-up looked up first, as the merge does before
// writing a run of lines from the winner.
void BM_SelectNextWithRunnerUp(benchmark::State& state) {
  setup s(static_cast<size_t>(state.range(0)));
  if (!s.ok) return state.SkipWithError("no memory");
  size_t n = 0;
  for (auto _ : state) {
    const size_t w = tree_winner(s.t);
    benchmark::DoNotOptimize(tree_runner_up(s.t));
    s.t.keys[w] += s.step[n++ & 4095];
    tree_replay(s.t, w);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SelectNextWithRunnerUp)->Arg(2)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
