// Merge stage: every line of every input, in key order, to the output.
//
// Owns choosing the next line (the key of each line, the tournament tree,
// ties to the input named first) and the loop that moves lines from the
// inputs to the output. It reports how the merge ended as a status; it
// never prints, exits, opens paths or decides what a failure is called.
#pragma once

#include <cstddef>

#include "input/log_input.h"
#include "output/output.h"

enum class merge_status {
  done,          // every line of every input was written and flushed
  inputs_failed, // one or more inputs failed and were reported; each ended
                 // at its failure, every other one was merged to its end
  write_failed,  // the output failed; out.error says why
  no_memory,     // the merge's own tables could not be allocated
};

struct merge_result {
  merge_status status = merge_status::done;
};

// Told when an input fails in the middle of the merge (damaged, unreadable,
// cut short), once every line merged before the failure has been written
// out: the caller reports it. The merge then goes on without that input.
// Told too, when it is given, before a read that may wait on a quiet live
// input (every line decided so far has been written), and about once a
// second while that wait lasts.
struct merge_hooks {
  void (*input_failed)(const log_input& in, void* arg) = nullptr;
  void (*waiting)(void* arg) = nullptr;
  void* arg = nullptr;
};

// Merges n inputs, each active with its first line read or already dry.
// Repeatedly writes the current line that comes first (smallest key, then
// the input named first) and moves that input to its next line. Each
// input's lines keep their own order; nothing is sorted within an input.
// An input that fails ends alone; a failing output ends everything. Ends
// with the output flushed.
merge_result merge_inputs(log_input* inputs, size_t n, output& out,
                          const merge_hooks& hooks = {});
