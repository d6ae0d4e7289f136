#include "tests/reference_merge.h"

#include "key/line_key.h"

std::string reference_merge_lines(const std::vector<std::vector<std::string>>& inputs) {
  std::vector<size_t> next(inputs.size(), 0);
  std::string out;
  for (;;) {
    size_t best = inputs.size();
    int64_t best_key = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (next[i] == inputs[i].size()) continue;
      const int64_t k = line_key(inputs[i][next[i]]);
      if (best == inputs.size() || k < best_key) {
        best = i;
        best_key = k;
      }
    }
    if (best == inputs.size()) return out;
    std::string line = inputs[best][next[best]++];
    if (line.back() != '\n') line += '\n';
    out += line;
  }
}

std::string reference_merge(const std::vector<std::string>& texts) {
  std::vector<std::vector<std::string>> inputs;
  for (const std::string& t : texts) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < t.size()) {
      size_t nl = t.find('\n', start);
      const size_t stop = nl == std::string::npos ? t.size() : nl + 1;
      lines.push_back(t.substr(start, stop - start));
      start = stop;
    }
    inputs.push_back(std::move(lines));
  }
  return reference_merge_lines(inputs);
}
