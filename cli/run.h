// Command-line stage: the program around the merge.
//
// Owns the command line, start-up (standard descriptors, the open-file
// limit, opening and priming the inputs in command-line order), every
// message on standard error and the exit status. It is the only place that
// prints or chooses a status; the stages below it only return status.
#pragma once

#include "input/log_input.h"

// Runs braidlogs on argv[1..argc-1], writing the merge to descriptor 1 and
// messages to standard error. Returns the exit status: 0 when every line of
// every input was written, 1 on any failure. Standard output is left empty
// by every failure at start-up. The decoding plan is the machine's own
// unless a test passes another.
int braidlogs_run(int argc, char** argv, const decode_plan& plan = {});

// Runs braidcat: options (--help, --version, -- to end them), then any
// number of inputs, none or "-" meaning standard input (read once). An
// input that holds no text adds nothing; one that cannot be opened or
// read, at start-up or later, ends alone with its message, the others are
// merged to their end, and the status is 1. The merge, the formats and
// the messages' texts are braidlogs's own.
int braidcat_run(int argc, char** argv, const decode_plan& plan = {});

// What both commands' main() set in the C library's heap before they run.
void tune_heap();
