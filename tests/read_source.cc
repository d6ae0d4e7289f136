#include "tests/read_source.h"

#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

#include "input/source.h"
#include "input/sys_read.h"

namespace {

size_t g_chunk = 0;
std::mt19937 g_rng;

ssize_t short_read(int fd, void* buf, size_t n) {
  size_t take = g_chunk == kRandomChunks ? 1 + g_rng() % 4096 : g_chunk;
  if (take > n) take = n;
  return ::read(fd, buf, take);
}

}  // namespace

read_back read_source(const std::string& path, size_t out_chunk, size_t raw_chunk,
                      unsigned seed) {
  g_chunk = raw_chunk;
  g_rng.seed(seed);
  if (raw_chunk != 0) sys_read = short_read;
  byte_source src;
  read_back r;
  if (!source_open(src, path.c_str())) {
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
  sys_read = ::read;
  return r;
}
