// The progress line: on a long merge whose messages go to a terminal and
// whose output does not, one line on standard error, redrawn a few times a
// second, in the manner of pv: bytes read of the inputs' total (compressed
// bytes for compressed files), percent, throughput and time left. It is
// erased before any message and before exit, so a terminal is left with
// the message alone, or nothing. Scripts, cron and pipes never see it.
#pragma once

#include <cstddef>

struct log_input;

// The clock, in seconds; tests replace it.
extern double (*progress_clock)();

// Starts timing a merge of these inputs (opened and primed). Shows
// nothing unless standard error is a terminal and standard output is not.
void progress_start(const log_input* inputs, size_t n);

// Redraws the line when the merge has run about a second and the last
// drawing is a quarter of a second old. For output::after_write.
void progress_tick(void*);

// Erases the line if one is shown.
void progress_erase();
