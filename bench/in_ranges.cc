// braidlogs itself, with the merge's ranges given: `in_ranges N FILE...`
// merges line by line on one thread (N = 1) or in N ranges of the key on
// the decoding pool's threads, whatever the inputs; then tells on
// standard error the most ranges that merged at once. For comparing the
// two ways of merging on the same inputs in one build.
#include <cstdio>
#include <cstdlib>

#include "cli/run.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: in_ranges N FILE FILE...\n");
    return 2;
  }
  size_t peak = 0;
  run_seams seams;
  seams.merge.ranges = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
  seams.merge.ranges_peak = &peak;
  argv[1] = argv[0];
  prepare_process();
  const int status = braidlogs_run(argc - 1, argv + 1, seams);
  std::fprintf(stderr, "ranges at once: %zu\n", peak);
  return status;
}
