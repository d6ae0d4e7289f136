#include "cli/run.h"

int main(int argc, char** argv) {
  tune_heap();
  return braidcat_run(argc, argv);
}
