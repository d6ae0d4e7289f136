// The whole merge on 2 to 5 inputs cut from the fuzz data, each read in its
// own chunk size, against the tests' reference merge: stable by (key, input
// rank), a newline added to a last line that lacks one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "merge/merge.h"
#include "input/format.h"
#include "fuzz/memory_inputs.h"
#include "tests/reference_merge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  const size_t k = 2 + data[0] % 4;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 11, size - 11);
  // Cut the rest into k pieces at places the data chooses.
  std::vector<std::string_view> texts;
  size_t start = 0;
  for (size_t i = 0; i < k; ++i) {
    const size_t left = rest.size() - start;
    const size_t len = i + 1 == k ? left : (left ? data[1 + i] % (left + 1) : 0);
    texts.push_back(rest.substr(start, len));
    // Data that opens like compressed data is the decoders' business.
    if (sniff_format(reinterpret_cast<const unsigned char*>(texts.back().data()),
                     texts.back().size()) != nullptr)
      return 0;
    start += len;
  }

  memory_inputs_reset();
  std::vector<log_input> inputs(k);
  std::vector<std::string> primed;  // inputs with at least one line
  for (size_t i = 0; i < k; ++i) {
    if (!input_open(inputs[i], "/dev/null", nullptr, 1 + data[5 + i % 5] % 200)) std::abort();
    inputs[i].stream.reads = memory_reads();
    memory_input_add(inputs[i].stream.fd, texts[i], 1 + data[6 + i % 5] % 97);
    const input_status st = input_next(inputs[i]);
    if (st == input_status::ok) {
      primed.emplace_back(texts[i]);
    } else if (st != input_status::dry || !texts[i].empty()) {
      std::abort();
    }
  }
  output out;
  if (!output_open(out, 1, 1 + data[10] * 37, memory_writes())) std::abort();
  const merge_result r = merge_inputs(inputs.data(), k, out);
  if (r.status != merge_status::done) std::abort();
  if (memory_output() != reference_merge(primed)) std::abort();
  output_close(out);
  for (auto& in : inputs) input_release(in);
  return 0;
}
