#include "tests/read_source.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "input/source.h"

read_back read_source(const std::string& path, size_t out_chunk, size_t raw_chunk,
                      unsigned seed) {
  fake_io io({.read_chunk = raw_chunk, .seed = seed});
  byte_source src;
  read_back r;
  if (!source_open(src, path.c_str(), nullptr, fake_reads(io))) {
    r.last = -1;
  } else {
    // The first read tells the format, and must offer room for a signature.
    std::vector<char> buf(std::max(out_chunk, kSniffBytes));
    size_t want = buf.size();
    while ((r.last = source_read(src, buf.data(), want)) > 0) {
      r.data.append(buf.data(), static_cast<size_t>(r.last));
      want = out_chunk;
    }
    if (r.last < 0) r.problem = fault_text(src.fault);
    r.trailing_garbage = src.fault.trailing_garbage;
    source_close(src);
  }
  return r;
}
