#include "cli/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/progress.h"

// The version comes from the build, where it is set once.
#ifndef BRAIDLOGS_VERSION
#error "BRAIDLOGS_VERSION must be defined by the build"
#endif

void print_usage() {
  progress_erase();
  std::fputs(
      "usage: braidlogs LOGFILE1 LOGFILE2 [LOGFILEn ...]\n"
      "\n"
      "braidlogs " BRAIDLOGS_VERSION
      " - merges web-server access logs into one log in time order\n"
      "This program comes with ABSOLUTELY NO WARRANTY.\n"
      "It is free software under the MIT License; see the LICENSE file.\n"
      "Report problems on the braidlogs issue tracker.\n",
      stderr);
}

void print_input_failure(const char* path, const char* text) {
  progress_erase();
  std::fprintf(stderr, "braidlogs: %s: %s\n", path, text);
}

void print_empty_input(const char* path) {
  progress_erase();
  std::fprintf(stderr, "braidlogs: empty input file `%s'", path);
}

void print_write_error(int error) {
  progress_erase();
  std::fprintf(stderr, "braidlogs: write error: %s\n", std::strerror(error));
}

void print_no_memory() {
  progress_erase();
  errno = ENOMEM;
  std::perror("malloc");
}
