// Everything braidlogs and braidcat write to standard error, and
// braidcat's help and version on standard output. The program's name in
// messages is fixed text, the command's own, whatever name it was started
// under.
#pragma once

void print_usage();
// "NAME: PATH: TEXT\n", for an input that cannot be opened, read or
// decoded, or whose buffers cannot be allocated ("Cannot allocate memory").
void print_input_failure(const char* name, const char* path, const char* text);
// "braidlogs: empty input file `PATH'", with no newline after it.
void print_empty_input(const char* path);
// "NAME: write error: TEXT\n".
void print_write_error(const char* name, int error);
// "malloc: Cannot allocate memory\n", for the program's own allocations.
void print_no_memory();

// braidcat --help: its usage and what it does, on standard output.
void print_braidcat_help();
// braidcat --version, on standard output.
void print_braidcat_version();
// braidcat given an option it does not know: a message naming it, the
// usage line and where to read more, on standard error.
void print_bad_option(const char* arg);
