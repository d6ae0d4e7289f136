// Runs the built braidlogs binary as a user would and captures what it does.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "input/log_input.h"

enum class stdout_to {
  file,       // captured into run_result::out
  dev_full,   // every write fails with ENOSPC
  closed,     // descriptor 1 closed, as with >&-
};

struct run_options {
  stdout_to out = stdout_to::file;
  long soft_fd_limit = 0;  // when nonzero, the soft RLIMIT_NOFILE to start with
};

struct run_result {
  int status = -1;     // exit status, or 128 + signal
  std::string out;
  std::string err;
  size_t decoders_peak = 0;  // in a child of the test: the most decoders alive at once
};

run_result run_braidlogs(const std::vector<std::string>& args,
                         const run_options& opt = {});

// Runs braidlogs_run() in a forked child of the test, after `prepare` has
// run there: a test can swap the read and write seams to inject faults
// without touching the test process itself. The decoding plan shapes the
// decoding threads.
run_result run_braidlogs_in_child(const std::vector<std::string>& args, void (*prepare)(),
                                  const decode_plan& plan = {});

// Runs braidcat_run() in a forked child of the test, its standard input
// read from `stdin_path` (empty: /dev/null).
run_result run_braidcat_in_child(const std::vector<std::string>& args,
                                 const std::string& stdin_path = {},
                                 const decode_plan& plan = {});

// The inode number of a file, for fakes that pick out one input's reads.
ino_t inode_of(const std::string& path);
