#include "merge/steps.h"

#include <algorithm>
#include <new>

bool report_failure(const log_input& in, output& out, const merge_hooks& hooks) {
  if (!output_flush(out)) return false;
  if (hooks.input_failed != nullptr) hooks.input_failed(in, hooks.arg);
  return true;
}

input_status advance(log_input& in, const merge_hooks& hooks, const before_wait& first,
                     std::string_view* piece, char** owner, bool* write_failed) {
  auto next = [&](input_wait wait) {
    if (owner != nullptr) return input_take_piece(in, piece, owner, wait);
    return piece != nullptr ? input_next_piece(in, piece, wait) : input_next(in, wait);
  };
  const input_status st = next(input_wait::ask);
  if (st != input_status::would_block) return st;
  if (!first.fn(first.arg)) {
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

merge_result drain_rest(log_input& in, output& out, const merge_hooks& hooks, char last) {
  merge_result r;
  std::string_view piece;
  input_status st;
  bool write_failed = false;
  const before_wait flush{[](void* o) { return output_flush(*static_cast<output*>(o)); }, &out};
  while ((st = advance(in, hooks, flush, &piece, nullptr, &write_failed)) == input_status::ok) {
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

merge_result end_merge(log_input* in, size_t n, merge_result r, bool some_failed, output& out) {
  if (n > 0) inputs_expect_turns(input_set_of(in[0]), nullptr, 0);
  if (r.status == merge_status::done && some_failed) r.status = merge_status::inputs_failed;
  if ((r.status == merge_status::done || r.status == merge_status::inputs_failed) &&
      !output_flush(out))
    r.status = merge_status::write_failed;
  return r;
}

std::unique_ptr<log_input*[]> expect_turns(log_input* in, size_t n, const uint64_t* first) {
  std::unique_ptr<log_input*[]> turns(new (std::nothrow) log_input*[n]);
  if (turns == nullptr) return turns;  // they start in their turns only
  size_t waiting = 0;
  for (size_t i = 0; i < n; ++i)
    if (input_waiting(in[i])) turns[waiting++] = &in[i];
  std::sort(turns.get(), turns.get() + waiting,
            [&](const log_input* a, const log_input* b) { return first[a - in] < first[b - in]; });
  inputs_expect_turns(input_set_of(in[0]), turns.get(), waiting);
  return turns;
}
