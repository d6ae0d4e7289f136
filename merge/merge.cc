#include "merge/merge.h"

#include <algorithm>
#include <memory>
#include <new>

#include "key/line_key.h"
#include "merge/loser_tree.h"
#include "merge/ranges.h"
#include "merge/steps.h"

namespace {

bool flush_output(void* o) { return output_flush(*static_cast<output*>(o)); }

// Writes the rest of an input that no other input competes with any more:
// its current line, then the rest as drain_rest does.
merge_result drain(log_input& in, output& out, const merge_hooks& hooks) {
  merge_result r;
  if (input_unconfirmed(in) && !input_confirm(in)) {
    r.status = report_failure(in, out, hooks) ? merge_status::inputs_failed
                                              : merge_status::write_failed;
    return r;
  }
  if (!output_put_line(out, input_line(in))) {
    r.status = merge_status::write_failed;
    return r;
  }
  return drain_rest(in, out, hooks, '\n');
}

// The merge on the calling thread, a line at a time.
merge_result merge_one_thread(log_input* in, size_t n, output& out, const merge_hooks& hooks) {
  merge_result result;
  bool some_failed = false;
  loser_tree t;
  if (n == 0) return result;
  std::unique_ptr<key_memo[]> memo(new (std::nothrow) key_memo[n]());
  if (memo == nullptr || !tree_init(t, n)) {
    result.status = merge_status::no_memory;
    return result;
  }
  for (size_t i = 0; i < n; ++i)
    t.leaf[i] = input_active(in[i]) ? tree_value(line_key(input_line(in[i]), memo[i]), i) : tree_exhausted(i);
  tree_build(t);
  std::unique_ptr<log_input*[]> turns = expect_turns(in, n, t.leaf);
  for (;;) {
    uint64_t value = tree_winner(t);
    if (tree_is_exhausted(value)) break;
    const size_t w = tree_input(value);
    const uint64_t rival = tree_runner_up(t);
    if (tree_is_exhausted(rival)) {
      result = drain(in[w], out, hooks);
      break;
    }
    log_input& win = in[w];
    // A first line read before its block's check: checked now, before it
    // is written; a bad block ends that input alone.
    if (input_unconfirmed(win) && !input_confirm(win)) {
      if (!report_failure(win, out, hooks)) {
        result.status = merge_status::write_failed;
        break;
      }
      some_failed = true;
      tree_replay(t, tree_exhausted(w));
      continue;
    }
    // Write the winner's lines for as long as they still come before the
    // runner-up's current line; only then replay the tree.
    for (;;) {
      if (!output_put_line(out, input_line(win))) {
        result.status = merge_status::write_failed;
        break;
      }
      bool write_failed = false;
      const input_status st =
          advance(win, hooks, {flush_output, &out}, nullptr, nullptr, &write_failed);
      if (write_failed) {
        result.status = merge_status::write_failed;
        break;
      }
      if (st != input_status::ok) {
        if (st != input_status::dry) {
          if (!report_failure(win, out, hooks)) {
            result.status = merge_status::write_failed;
            break;
          }
          some_failed = true;
        }
        value = tree_exhausted(w);
        break;
      }
      value = tree_value(line_key(input_line(win), memo[w]), w);
      if (value > rival) break;
    }
    if (result.status != merge_status::done) break;
    tree_replay(t, value);
  }
  return end_merge(in, n, result, some_failed, out);
}

// Whether merging in ranges pays, when the plan leaves it to the merge:
// the set has threads to spare for it, and there are few inputs.
// Compressed inputs keep the threads decoding, and the hand-offs of
// ranges then cost more than the merge thread's own work; with hundreds
// of inputs, each cut looks at every one of them.
unsigned ranges_that_pay(log_input* in, size_t n) {
  constexpr size_t kMostActive = 64;
  const unsigned threads = n >= 2 ? inputs_threads(input_set_of(in[0])) : 0;
  if (threads < 2) return 1;
  size_t active = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!input_active(in[i])) continue;
    if (input_compressed(in[i])) return 1;
    ++active;
  }
  return active <= kMostActive ? threads : 1;
}

}  // namespace

merge_result merge_inputs(log_input* in, size_t n, output& out, const merge_hooks& hooks,
                          const merge_plan& plan) {
  const unsigned ranges = plan.ranges != 0 ? plan.ranges : ranges_that_pay(in, n);
  if (ranges >= 2 && n >= 2 && input_set_of(in[0]) != nullptr)
    return merge_in_ranges(in, n, out, hooks, plan, ranges);
  return merge_one_thread(in, n, out, hooks);
}
