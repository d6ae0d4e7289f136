// Inputs served from memory through a read seam, for the fuzz targets:
// each is a real descriptor (of /dev/null) whose reads return the given
// bytes, at most `chunk` bytes a call, so that every way a read can split
// the data gets tried.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "input/log_input.h"
#include "output/output.h"

// Forgets every memory input and what was written.
void memory_inputs_reset();

// The seams that read the memory inputs (any other descriptor as the
// system does) and write to memory.
read_seam memory_reads();
write_seam memory_writes();

// Serves `data` for descriptor fd, `chunk` (>= 1) bytes a read at most.
void memory_input_add(int fd, std::string_view data, size_t chunk);

// Everything written through the write seam since the last reset.
const std::string& memory_output();
