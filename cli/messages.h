// Everything braidlogs writes to standard error. The program's name in
// messages is fixed text, whatever name it was started under.
#pragma once

void print_usage();
// "braidlogs: PATH: TEXT\n", for an input that cannot be opened, read or
// decoded, or whose buffers cannot be allocated ("Cannot allocate memory").
void print_input_failure(const char* path, const char* text);
// "braidlogs: empty input file `PATH'", with no newline after it.
void print_empty_input(const char* path);
// "braidlogs: write error: TEXT\n".
void print_write_error(int error);
// "malloc: Cannot allocate memory\n", for the program's own allocations.
void print_no_memory();
