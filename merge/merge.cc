#include "merge/merge.h"

#include <algorithm>
#include <memory>
#include <new>

#include "key/line_key.h"
#include "merge/loser_tree.h"

namespace {

// Reports a failed input once the lines merged before its failure are out,
// so that the message follows them. False when that write fails.
bool report_failure(const log_input& in, output& out, const merge_hooks& hooks) {
  if (!output_flush(out)) return false;
  if (hooks.input_failed != nullptr) hooks.input_failed(in, hooks.arg);
  return true;
}

// Moves `in` to its next line, or with `piece` to its next piece. When
// that read could wait for a quiet stream (a pipe from tail -F, ssh ...),
// every line already decided goes out first, so that a live merge shows it
// at once. Sets *write_failed when that write fails.
input_status advance(log_input& in, output& out, const merge_hooks& hooks,
                     std::string_view* piece, bool* write_failed) {
  auto next = [&](input_wait wait) {
    return piece != nullptr ? input_next_piece(in, piece, wait) : input_next(in, wait);
  };
  const input_status st = next(input_wait::ask);
  if (st != input_status::would_block) return st;
  if (!output_flush(out)) {
    *write_failed = true;
    return st;
  }
  // The caller is told before the wait, and about once a second while it
  // lasts.
  if (hooks.waiting != nullptr) {
    constexpr int kTell = 1000;  // milliseconds
    do {
      hooks.waiting(hooks.arg);
    } while (!input_ready_within(in, kTell));
  }
  return next(input_wait::allowed);
}

// Writes the rest of an input that no other input competes with any more:
// its current line, then its remaining bytes a buffer of whole lines at a
// time, with no line keyed or chosen. Adds the newline a last line may lack.
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
  char last = '\n';
  std::string_view piece;
  input_status st;
  bool write_failed = false;
  while ((st = advance(in, out, hooks, &piece, &write_failed)) == input_status::ok) {
    if (!output_put(out, piece)) {
      r.status = merge_status::write_failed;
      return r;
    }
    last = piece.back();
  }
  if (write_failed) {
    r.status = merge_status::write_failed;
    return r;
  }
  if (st != input_status::dry) {
    r.status = report_failure(in, out, hooks) ? merge_status::inputs_failed
                                              : merge_status::write_failed;
    return r;
  }
  if (last != '\n' && !output_put(out, "\n", 1))
    r.status = merge_status::write_failed;
  return r;
}

}  // namespace

merge_result merge_inputs(log_input* in, size_t n, output& out, const merge_hooks& hooks) {
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
  // The inputs that wait their turn, in the order their first lines come
  // out: the order in which the merge will first need their next lines.
  std::unique_ptr<log_input*[]> turns(new (std::nothrow) log_input*[n]);
  if (turns != nullptr) {
    size_t waiting = 0;
    for (size_t i = 0; i < n; ++i)
      if (input_waiting(in[i])) turns[waiting++] = &in[i];
    std::sort(turns.get(), turns.get() + waiting, [&](const log_input* a, const log_input* b) {
      return t.leaf[a - in] < t.leaf[b - in];
    });
    inputs_expect_turns(input_set_of(in[0]), turns.get(), waiting);
  }

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
      const input_status st = advance(win, out, hooks, nullptr, &write_failed);
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
  inputs_expect_turns(input_set_of(in[0]), nullptr, 0);

  if (result.status == merge_status::done && some_failed)
    result.status = merge_status::inputs_failed;
  if ((result.status == merge_status::done || result.status == merge_status::inputs_failed) &&
      !output_flush(out))
    result.status = merge_status::write_failed;
  return result;
}
