#include "cli/run.h"

int main(int argc, char** argv) {
  tune_heap();
  return braidlogs_run(argc, argv);
}
