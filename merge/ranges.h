// The merge on the inputs' threads, range by range of the key. Internal to
// merge/: merge_inputs (merge.h) chooses it.
#pragma once

#include <cstddef>

#include "input/log_input.h"
#include "merge/merge.h"
#include "output/output.h"

// What merge_inputs does, with `ranges` ranges at once (>= 2) on the
// threads of the inputs' set (n >= 2, every input of one set). The
// inputs' pieces are taken for keeps and keyed on those threads; the
// merge thread reads, cuts the key where every input still read has its
// lines at hand, and writes the ranges' buffers in order.
merge_result merge_in_ranges(log_input* in, size_t n, output& out, const merge_hooks& hooks,
                             const merge_plan& plan, unsigned ranges);
