// Reads a file through the input's byte source as the tool would, with the
// raw reads cut into small pieces as a slow pipe delivers them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "tests/fake_seams.h"

struct read_back {
  std::string data;
  ssize_t last = 0;  // the last read's result: 0 at the end, -1 on failure
  std::string problem;
  bool trailing_garbage = false;
};

// Reads `path` to its end, `out_chunk` decoded bytes a call. Each raw read
// of the file takes at most `raw_chunk` bytes (0: as many as asked), or,
// with `raw_chunk` == kRandomChunks, a pseudo-random count from 1 to 4096
// drawn from `seed`.
read_back read_source(const std::string& path, size_t out_chunk, size_t raw_chunk = 0,
                      unsigned seed = 1);
