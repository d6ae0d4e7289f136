// What both ways of merging do alike: telling a failed input once what
// came before it is out, reading a live input that may wait, and writing
// the rest of the last input that competes with no other. Internal to
// merge/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "input/log_input.h"
#include "merge/merge.h"
#include "output/output.h"

// Reports a failed input once the lines merged before its failure are out,
// so that the message follows them. False when that write fails.
bool report_failure(const log_input& in, output& out, const merge_hooks& hooks);

// Moves `in` to its next line, or with `piece` to its next piece (taken
// for keeps when `owner` is given too). When that read could wait for a
// quiet stream (a pipe from tail -F, ssh ...), `before_wait` is called
// first (it sends out every line already decided, so that a live merge
// shows it at once; false when that write fails), then the caller's
// hooks are told. Sets *write_failed when that write fails.
struct before_wait {
  bool (*fn)(void* arg) = nullptr;
  void* arg = nullptr;
};
input_status advance(log_input& in, const merge_hooks& hooks, const before_wait& first,
                     std::string_view* piece, char** owner, bool* write_failed);

// Writes the rest of an input that no other input competes with any more,
// after its current line: its remaining bytes a buffer of whole lines at a
// time, with no line keyed or chosen. `last` is the last byte written of
// it: the newline a last line may lack is added.
merge_result drain_rest(log_input& in, output& out, const merge_hooks& hooks, char last);

// How a merge of n inputs that ended as `r` ends: the order of turns
// forgotten, inputs_failed when some input failed (and nothing worse
// happened), and the output flushed.
merge_result end_merge(log_input* in, size_t n, merge_result r, bool some_failed, output& out);

// Tells the input stage in which order the merge will first need the
// inputs that wait their turn: by `first`, the order of their first lines
// (a tree value each, loser_tree.h). The array returned must be kept until
// the merge ends, then forgotten (inputs_expect_turns(set, nullptr, 0)).
std::unique_ptr<log_input*[]> expect_turns(log_input* in, size_t n, const uint64_t* first);
