#include "cli/run.h"

int main(int argc, char** argv) { return braidlogs_run(argc, argv); }
