// How long line_key takes on typical access-log lines.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "key/line_key.h"

namespace {

// `same_day`: one input's lines in order, the date the same all along and
// the time rising, as a log runs through a day; otherwise every line has
// a date of its own.
std::vector<std::string> typical_lines(bool same_day = false) {
  std::vector<std::string> lines;
  const char* hosts[] = {"83.149.9.216", "10.0.0.1", "2001:db8::7", "203.0.113.195"};
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 1024; ++i) {
    char line[400];
    std::snprintf(line, sizeof line,
                  "%s - - [%02d/%s/20%02d:%02d:%02d:%02d +0000] \"GET /presentations/"
                  "logstash-monitorama-2013/images/kibana-search.png HTTP/1.1\" 200 203023 "
                  "\"http://semicomplete.com/presentations/logstash-monitorama-2013/\" "
                  "\"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_9_1) AppleWebKit/537.36\"\n",
                  hosts[i % 4], same_day ? 17 : 1 + i % 28, months[same_day ? 4 : i % 12],
                  same_day ? 15 : 10 + i % 20, i / 3600 % 24, i / 60 % 60, i % 60);
    lines.emplace_back(line);
  }
  return lines;
}

void BM_LineKey(benchmark::State& state) {
  const std::vector<std::string> lines = typical_lines();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line_key(lines[i]));
    i = (i + 1) & 1023;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LineKey);

// As the merge keys one input's lines: with the date of the line before
// remembered.
void BM_LineKeyRemembered(benchmark::State& state) {
  const std::vector<std::string> lines = typical_lines(true);
  key_memo memo;
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line_key(lines[i], memo));
    i = (i + 1) & 1023;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LineKeyRemembered);

void BM_LineKeyNoDate(benchmark::State& state) {
  const std::string line(240, 'x');
  for (auto _ : state) benchmark::DoNotOptimize(line_key(line));
}
BENCHMARK(BM_LineKeyNoDate);

}  // namespace
