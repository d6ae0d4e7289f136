// Merge stage: every line of every input, in key order, to the output.
//
// Owns choosing the next line (the key of each line, the tournament tree,
// ties to the input named first), the loop that moves lines from the
// inputs to the output, and merging ranges of the key on the inputs'
// threads (its jobs run there; it starts no thread of its own). It
// reports how the merge ended as a status; it never prints, exits, opens
// paths or decides what a failure is called.
#pragma once

#include <cstddef>
#include <cstdint>

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
//
// `unwritten`, when given (one count an input), is kept as the bytes of
// each input's text read but not yet written: a merge on several threads
// reads ahead of what it writes, and progress told by the bytes read
// would run ahead of the output by as much.
struct merge_hooks {
  void (*input_failed)(const log_input& in, void* arg) = nullptr;
  void (*waiting)(void* arg) = nullptr;
  void* arg = nullptr;
  uint64_t* unwritten = nullptr;
};

// How the merge uses the threads of the inputs' set. The output is the
// same whatever it says.
struct merge_plan {
  // Ranges of the key merged at once: 0, one per thread of the set where
  // that pays (plain inputs, a few dozen read at once, two threads or
  // more), else the calling thread alone, line by line; 1, always line by
  // line on the calling thread; more, that many ranges on the set's
  // threads.
  unsigned ranges = 0;
  // For tests and benchmarks: told on the merging thread as each range
  // begins; and, when set, told at the end the most ranges that merged at
  // once.
  void (*range_begun)(void* arg) = nullptr;
  void* range_arg = nullptr;
  size_t* ranges_peak = nullptr;
};

// Merges n inputs, each active with its first line read or already dry.
// Repeatedly writes the current line that comes first (smallest key, then
// the input named first) and moves that input to its next line. Each
// input's lines keep their own order; nothing is sorted within an input.
// An input that fails ends alone; a failing output ends everything. Ends
// with the output flushed.
//
// On the set's threads the merge gives the same bytes, messages and
// status: its output is that of a stable sort of all lines by the running
// maximum of the keys of their own input (which never falls along an
// input), then the input, then the place in it; so the key can be cut
// into ranges that merge apart, on several threads at once, and go out
// in order.
merge_result merge_inputs(log_input* inputs, size_t n, output& out,
                          const merge_hooks& hooks = {}, const merge_plan& plan = {});
