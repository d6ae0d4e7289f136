// braidlogs itself, telling on standard error how many decoders were alive
// at once when it ends: the farm benchmark's count of what a merge of
// rotated logs holds.
#include <cstdio>

#include "cli/run.h"

int main(int argc, char** argv) {
  size_t peak = 0;
  run_seams seams;
  seams.plan.decoders_peak = &peak;
  prepare_process();
  const int status = braidlogs_run(argc, argv, seams);
  std::fprintf(stderr, "decoders alive at once: %zu\n", peak);
  return status;
}
