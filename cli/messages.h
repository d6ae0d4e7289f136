// Everything braidlogs and braidcat write to standard error, and
// braidcat's help and version on standard output. The program's name in
// messages is fixed text, the command's own, whatever name it was started
// under.
#pragma once

struct progress_line;

// Where a run's messages go: its standard error, after erasing its
// progress line, and its standard output (for help and version).
struct console {
  int out_fd = 1, err_fd = 2;
  progress_line* line = nullptr;
};

void print_usage(const console& to);
// "NAME: PATH: TEXT\n", for an input that cannot be opened, read or
// decoded, or whose buffers cannot be allocated ("Cannot allocate memory").
void print_input_failure(const console& to, const char* name, const char* path, const char* text);
// "braidlogs: empty input file `PATH'", with no newline after it.
void print_empty_input(const console& to, const char* path);
// "NAME: write error: TEXT\n".
void print_write_error(const console& to, const char* name, int error);
// "malloc: Cannot allocate memory\n", for the program's own allocations.
void print_no_memory(const console& to);

// braidcat --help: its usage and what it does, on standard output; and
// braidcat --version. False when that cannot be written (errno says why).
bool print_braidcat_help(const console& to);
bool print_braidcat_version(const console& to);
// braidcat given an option it does not know: a message naming it, the
// usage line and where to read more, on standard error.
void print_bad_option(const console& to, const char* arg);
