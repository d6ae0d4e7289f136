// The compressed readers. Mode 0: arbitrary bytes straight in; any result
// but a crash, a hang or a read out of bounds will do. Mode k: the rest of
// the data is compressed in the k-th format of the input table, perhaps cut
// short or with one byte changed; unchanged, it must decode to exactly the
// text, and cut short, it must fail.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/memory_inputs.h"
#include "input/source.h"
#include "tests/compress.h"

namespace {

// Reads the whole source; false when it failed or ended at trailing garbage.
bool read_all(const std::string& bytes, size_t chunk, std::string* text) {
  byte_source src;
  if (!source_open(src, "/dev/null", nullptr, memory_reads())) std::abort();
  memory_input_add(src.fd, bytes, chunk);
  char buf[4096];
  ssize_t got;
  // The first read tells the format and offers room for a signature.
  size_t want = sizeof buf;
  while ((got = source_read(src, buf, want)) > 0) {
    text->append(buf, static_cast<size_t>(got));
    want = 1 + chunk % sizeof buf;
  }
  source_close(src);
  return got == 0 && !src.fault.trailing_garbage;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const auto formats = input_formats();
  const size_t mode = data[0] % (formats.size() + 1);
  const size_t chunk = 1 + data[1] * 17;
  const std::string payload(reinterpret_cast<const char*>(data) + 4, size - 4);
  memory_inputs_reset();
  std::string text;
  if (mode == 0) {
    read_all(payload, chunk, &text);
    return 0;
  }
  if (mode > formats.size() || !can_compress(formats[mode - 1]->name)) return 0;
  std::string packed = compress(formats[mode - 1]->name, payload);
  const unsigned change = data[2] % 4;  // 0, 1: as is; 2: cut short; 3: one byte changed
  if (change == 2) {
    packed.resize(packed.size() * data[3] / 256);
    // Fewer bytes than the magic number make plain text, not a failure.
    if (packed.size() < kSniffBytes) return 0;
    if (read_all(packed, chunk, &text)) std::abort();
    return 0;
  }
  if (change == 3) {
    packed[packed.size() * data[3] / 256] ^= static_cast<char>(1 + data[1] % 255);
    read_all(packed, chunk, &text);
    return 0;
  }
  if (!read_all(packed, chunk, &text) || text != payload) std::abort();
  return 0;
}
