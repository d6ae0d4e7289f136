// Inputs served from memory through the read seam, for the fuzz targets:
// each is a real descriptor (of /dev/null) whose reads return the given
// bytes, at most `chunk` bytes a call, so that every way a read can split
// the data gets tried.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Forgets every memory input and installs the seam.
void memory_inputs_reset();

// Serves `data` for descriptor fd, `chunk` (>= 1) bytes a read at most.
void memory_input_add(int fd, std::string_view data, size_t chunk);

// Everything written through the write seam since the last reset.
const std::string& memory_output();
