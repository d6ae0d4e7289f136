// The line reader on arbitrary bytes, read in arbitrary sizes: the lines
// it yields, joined, give back the input exactly (a newline added only at
// the end when it was missing), and each line but the last ends with its
// only newline.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "input/log_input.h"
#include "input/format.h"
#include "fuzz/memory_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunk = 1 + data[0] % 64 * (data[0] >= 192 ? 1024 : 1);
  const size_t block = 1 + static_cast<size_t>(data[1]) * 3;
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

  // Data that opens like compressed data is the decoders' business.
  if (sniff_format(data + 2, size - 2) != nullptr) return 0;
  memory_inputs_reset();
  log_input in;
  if (!input_open(in, "/dev/null", nullptr, block)) std::abort();
  in.stream.reads = memory_reads();
  memory_input_add(in.stream.fd, text, chunk);
  std::string joined;
  input_status st;
  while ((st = input_next(in)) == input_status::ok) {
    const std::string_view l = in.line;
    if (l.empty()) std::abort();
    const size_t nl = l.find('\n');
    if (nl != std::string_view::npos && nl != l.size() - 1) std::abort();
    joined.append(l);
    if (l.back() != '\n') {
      joined += '\n';
      if (joined.size() != text.size() + 1) std::abort();  // only the last
    }
  }
  if (st != input_status::dry) std::abort();
  std::string want(text);
  if (!want.empty() && want.back() != '\n') want += '\n';
  if (joined != want) std::abort();
  input_release(in);
  return 0;
}
