#include "fuzz/memory_inputs.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>


namespace {

struct served {
  std::string_view data;
  size_t chunk;
  size_t pos;
};

std::map<int, served> inputs;
std::string written;

ssize_t read_memory(void*, int fd, void* buf, size_t n) {
  auto it = inputs.find(fd);
  if (it == inputs.end()) return ::read(fd, buf, n);
  served& s = it->second;
  const size_t take = std::min({n, s.chunk, s.data.size() - s.pos});
  std::memcpy(buf, s.data.data() + s.pos, take);
  s.pos += take;
  return static_cast<ssize_t>(take);
}

ssize_t write_memory(void*, int, const void* buf, size_t n) {
  written.append(static_cast<const char*>(buf), n);
  return static_cast<ssize_t>(n);
}

}  // namespace

void memory_inputs_reset() {
  inputs.clear();
  written.clear();
}

read_seam memory_reads() { return {read_memory, nullptr}; }
write_seam memory_writes() { return {write_memory, nullptr}; }

void memory_input_add(int fd, std::string_view data, size_t chunk) {
  inputs[fd] = served{data, chunk < 1 ? 1 : chunk, 0};
}

const std::string& memory_output() { return written; }
