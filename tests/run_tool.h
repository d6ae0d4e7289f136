// Runs the built braidlogs binary as a user would and captures what it does.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "cli/run.h"

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

// Runs braidlogs_run() here, in the test's process, with `seams` (fakes
// that inject faults, a clock, a decoding plan), its output and messages
// caught in scratch files.
run_result run_braidlogs_here(const std::vector<std::string>& args, run_seams seams = {});

// Seams of the system's own, but for these.
run_seams with_plan(const decode_plan& plan);
run_seams with_seams(const read_seam& reads, const write_seam& writes,
                     const decode_plan& plan = {});

// The same for braidcat_run(), its standard input read from `stdin_path`
// (empty: /dev/null).
run_result run_braidcat_here(const std::vector<std::string>& args,
                             const std::string& stdin_path = {}, run_seams seams = {});

// The inode number of a file, for fakes that pick out one input's reads.
ino_t inode_of(const std::string& path);
