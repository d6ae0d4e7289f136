#include "cli/run.h"

int main(int argc, char** argv) {
  prepare_process();
  return braidcat_run(argc, argv);
}
