// The program: command line, start-up, merge and exit status.
#pragma once

// Runs braidlogs on argv[1..argc-1], writing the merge to descriptor 1 and
// messages to standard error. Returns the exit status: 0 when every line of
// every input was written, 1 on any failure. Standard output is left empty
// by every failure at start-up.
int braidlogs_run(int argc, char** argv);
