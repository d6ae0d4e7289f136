#include "cli/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/progress.h"

// The version comes from the build, where it is set once.
#ifndef BRAIDLOGS_VERSION
#error "BRAIDLOGS_VERSION must be defined by the build"
#endif

namespace {

const char kNotice[] =
    "This program comes with ABSOLUTELY NO WARRANTY.\n"
    "It is free software under the MIT License; see the LICENSE file.\n"
    "Report problems on the braidlogs issue tracker.\n";

const char kBraidcatUsage[] = "usage: braidcat [OPTION]... [FILE]...\n";

}  // namespace

void print_usage() {
  progress_erase();
  std::fputs(
      "usage: braidlogs LOGFILE1 LOGFILE2 [LOGFILEn ...]\n"
      "\n"
      "braidlogs " BRAIDLOGS_VERSION
      " - merges access logs in time order; man braidlogs, or braidcat for any logs\n",
      stderr);
  std::fputs(kNotice, stderr);
}

void print_input_failure(const char* name, const char* path, const char* text) {
  progress_erase();
  std::fprintf(stderr, "%s: %s: %s\n", name, path, text);
}

void print_empty_input(const char* path) {
  progress_erase();
  std::fprintf(stderr, "braidlogs: empty input file `%s'", path);
}

void print_write_error(const char* name, int error) {
  progress_erase();
  std::fprintf(stderr, "%s: write error: %s\n", name, std::strerror(error));
}

void print_no_memory() {
  progress_erase();
  errno = ENOMEM;
  std::perror("malloc");
}

void print_braidcat_help() {
  std::fputs(kBraidcatUsage, stdout);
  std::fputs(
      "Merge web-server access logs (Common Log Format dates) into one log in time\n"
      "order on standard output. Each FILE may be plain text or gzip, bzip2, xz,\n"
      "lzma, lzip, zstd or lz4 data, told by its content. With no FILE, or when\n"
      "FILE is -, read standard input.\n"
      "\n"
      "An input that holds no text adds nothing. One that cannot be opened or\n"
      "read, or is damaged, ends alone with a message: the others are merged to\n"
      "their end, and the exit status is 1.\n"
      "\n"
      "      --help     display this help and exit\n"
      "      --version  output version information and exit\n"
      "\n"
      "Exit status: 0 when every line of every input was written, else 1.\n"
      "Scripts that want two or more non-empty inputs, and nothing written when\n"
      "one fails at start-up, use braidlogs. Full documentation: man braidcat\n",
      stdout);
}

void print_braidcat_version() {
  std::fputs("braidcat " BRAIDLOGS_VERSION "\n", stdout);
  std::fputs(kNotice, stdout);
}

void print_bad_option(const char* arg) {
  progress_erase();
  if (arg[1] == '-')
    std::fprintf(stderr, "braidcat: unrecognized option '%s'\n", arg);
  else
    std::fprintf(stderr, "braidcat: invalid option -- '%c'\n", arg[1]);
  std::fputs(kBraidcatUsage, stderr);
  std::fputs("Try 'braidcat --help' for more information.\n", stderr);
}
