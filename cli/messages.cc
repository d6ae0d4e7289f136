#include "cli/messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli/progress.h"
#include "output/output.h"

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

// Erases the progress line, then writes the message whole.
void say(const console& to, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(const console& to, const char* format, ...) {
  if (to.line != nullptr) progress_erase(*to.line);
  va_list args;
  va_start(args, format);
  vdprintf(to.err_fd, format, args);
  va_end(args);
}

// Writes all of text to fd; false with errno set when it cannot.
bool put_all(int fd, const char* text) {
  const int error = write_fully({}, fd, text, std::strlen(text));
  errno = error;
  return error == 0;
}

}  // namespace

void print_usage(const console& to) {
  say(to, "%s%s",
      "usage: braidlogs LOGFILE1 LOGFILE2 [LOGFILEn ...]\n"
      "\n"
      "braidlogs " BRAIDLOGS_VERSION
      " - merges access logs in time order; man braidlogs, or braidcat for any logs\n",
      kNotice);
}

void print_input_failure(const console& to, const char* name, const char* path, const char* text) {
  say(to, "%s: %s: %s\n", name, path, text);
}

void print_empty_input(const console& to, const char* path) {
  say(to, "braidlogs: empty input file `%s'", path);
}

void print_write_error(const console& to, const char* name, int error) {
  say(to, "%s: write error: %s\n", name, std::strerror(error));
}

void print_no_memory(const console& to) { say(to, "malloc: %s\n", std::strerror(ENOMEM)); }

bool print_braidcat_help(const console& to) {
  return put_all(to.out_fd, kBraidcatUsage) &&
         put_all(to.out_fd,
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
                 "one fails at start-up, use braidlogs. Full documentation: man braidcat\n");
}

bool print_braidcat_version(const console& to) {
  return put_all(to.out_fd, "braidcat " BRAIDLOGS_VERSION "\n") && put_all(to.out_fd, kNotice);
}

void print_bad_option(const console& to, const char* arg) {
  if (arg[1] == '-')
    say(to, "braidcat: unrecognized option '%s'\n", arg);
  else
    say(to, "braidcat: invalid option -- '%c'\n", arg[1]);
  say(to, "%sTry 'braidcat --help' for more information.\n", kBraidcatUsage);
}
