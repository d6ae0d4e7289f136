#include "cli/run.h"

int main(int argc, char** argv) {
  prepare_process();
  return braidlogs_run(argc, argv);
}
