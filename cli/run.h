// Command-line stage: the program around the merge.
//
// Owns the command line, start-up (standard descriptors, the open-file
// limit, opening and priming the inputs in command-line order), every
// message on standard error and the exit status. It is the only place that
// prints or chooses a status; the stages below it only return status.
#pragma once

#include "cli/progress.h"
#include "input/log_input.h"
#include "merge/merge.h"
#include "output/output.h"

// What a run talks to, passed in as a whole by main() (the system's own)
// or by a test (fakes): how inputs are read and the output written, the
// progress line's clock, and how decoding is shaped (the machine's cores
// and memory, unless a plan says otherwise).
struct run_seams {
  read_seam reads;
  write_seam writes;
  clock_seam clock;
  decode_plan plan;
  merge_plan merge;  // how the merge uses the threads
};

// The descriptors a run takes as its standard input, output and error.
struct run_fds {
  int in = 0, out = 1, err = 2;
};

// Runs braidlogs on argv[1..argc-1], writing the merge to fds.out and
// messages to fds.err. Returns the exit status: 0 when every line of
// every input was written, 1 on any failure. The output is left empty by
// every failure at start-up.
int braidlogs_run(int argc, char** argv, const run_seams& seams = {}, const run_fds& fds = {});

// Runs braidcat: options (--help, --version, -- to end them), then any
// number of inputs, none or "-" meaning standard input (read once). An
// input that holds no text adds nothing; one that cannot be opened or
// read, at start-up or later, ends alone with its message, the others are
// merged to their end, and the status is 1. The merge, the formats and
// the messages' texts are braidlogs's own.
int braidcat_run(int argc, char** argv, const run_seams& seams = {}, const run_fds& fds = {});

// What both commands' main() do to the process before they run: the C
// library's heap tuned, closed standard descriptors given stand-ins, the
// open-file limit raised.
void prepare_process();
