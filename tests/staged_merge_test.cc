// Merging in stages gives the bytes of one merge: any grouping of the
// inputs into runs of neighbours, merged and then merged again (as when
// each machine merges its own logs first, or thousands of files are merged
// in batches), equals one merge of them all in the same order. Inputs are
// random: equal times, undated lines, lines out of order, last lines
// without a newline (some ending right after the seconds).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

std::string random_log(std::mt19937& rng, int id) {
  std::string s;
  int t = static_cast<int>(rng() % 20);
  const int lines = 1 + static_cast<int>(rng() % 12);
  for (int j = 0; j < lines; ++j) {
    const unsigned roll = rng() % 10;
    if (roll == 0) {
      s += "undated line " + std::to_string(id) + "." + std::to_string(j) + "\n";
      continue;
    }
    t += roll == 1 ? -static_cast<int>(rng() % 5) : static_cast<int>(rng() % 3);
    s += clf_at(t + 60, std::to_string(j), id);
  }
  if (rng() % 3 == 0) {  // no newline at the end, perhaps right after the seconds
    s.pop_back();
    const size_t zone = s.rfind('[');
    if (rng() % 2 == 0 && zone != std::string::npos && zone > s.rfind('\n') + 1) s.resize(zone + 21);
  }
  return s;
}

// Merges paths[from, to) in random stages; returns the path of the result.
std::string merge_in_stages(const temp_dir& dir, const std::vector<std::string>& paths, size_t from,
                            size_t to, std::mt19937& rng, int* made) {
  if (to - from == 1) return paths[from];
  std::vector<std::string> parts;
  if (to - from == 2 || rng() % 3 == 0) {
    parts.assign(paths.begin() + static_cast<long>(from), paths.begin() + static_cast<long>(to));
  } else {
    for (size_t at = from; at < to;) {
      const size_t len = 1 + rng() % (to - at);
      if (len == to - from) continue;  // a stage of everything is no stage
      parts.push_back(merge_in_stages(dir, paths, at, at + len, rng, made));
      at += len;
    }
    if (parts.size() == 1) return parts[0];
  }
  const run_result r = run_braidlogs_here(parts);
  EXPECT_EQ(r.status, 0) << r.err;
  return dir.write("stage" + std::to_string((*made)++), r.out);
}

}  // namespace

TEST(StagedMerge, AnyGroupingGivesTheBytesOfOneMerge) {
  std::mt19937 rng(42);
  for (int trial = 0; trial < 25; ++trial) {
    temp_dir dir;
    std::vector<std::string> paths;
    const int k = 2 + static_cast<int>(rng() % 7);
    for (int i = 0; i < k; ++i) paths.push_back(dir.write("in" + std::to_string(i), random_log(rng, i)));
    const run_result once = run_braidlogs_here(paths);
    ASSERT_EQ(once.status, 0) << once.err;
    int made = 0;
    const std::string staged = merge_in_stages(dir, paths, 0, paths.size(), rng, &made);
    ASSERT_EQ(read_file(staged), once.out) << "trial " << trial << ", " << made << " stages";
  }
}
