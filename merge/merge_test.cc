#include "merge/merge.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "key/line_key.h"
#include "tests/reference_merge.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

using namespace std::string_literals;

namespace {

struct merged {
  merge_result result;
  std::string out;
};

// Merges the files through the library, reading with `block`, into a file.
merged merge_files(const std::vector<std::string>& paths, size_t block,
                   size_t out_cap = kOutputBufferSize) {
  temp_dir dir;
  const std::string out_path = dir.file("out");
  const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<log_input> inputs(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_TRUE(input_open(inputs[i], paths[i].c_str(), nullptr, block));
    EXPECT_EQ(input_next(inputs[i]), input_status::ok);
  }
  output out;
  EXPECT_TRUE(output_open(out, fd, out_cap));
  merged m;
  m.result = merge_inputs(inputs.data(), inputs.size(), out);
  output_close(out);
  for (auto& in : inputs) input_release(in);
  ::close(fd);
  m.out = read_file(out_path);
  return m;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l;
  return s;
}

}  // namespace

TEST(Merge, InterleavesByTimeAndBreaksTiesByInputOrder) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("10/Oct/2000:13:00:00", "a1") + clf_line("10/Oct/2000:13:02:00", "a2"));
  const std::string b = dir.write("b", clf_line("10/Oct/2000:13:01:00", "b1") + clf_line("10/Oct/2000:13:02:00", "b2"));
  const merged m = merge_files({a, b}, kInputBlockSize);
  EXPECT_EQ(m.result.status, merge_status::done);
  EXPECT_EQ(m.out, clf_line("10/Oct/2000:13:00:00", "a1") + clf_line("10/Oct/2000:13:01:00", "b1") +
                       clf_line("10/Oct/2000:13:02:00", "a2") + clf_line("10/Oct/2000:13:02:00", "b2"));
}

TEST(Merge, TheSameFileTwiceComesOutInPairs) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("01/Jan/2020:00:00:01", "1") + clf_line("01/Jan/2020:00:00:02", "2") +
                                           clf_line("01/Jan/2020:00:00:03", "3"));
  const merged m = merge_files({a, a}, kInputBlockSize);
  EXPECT_EQ(m.out, clf_line("01/Jan/2020:00:00:01", "1") + clf_line("01/Jan/2020:00:00:01", "1") +
                       clf_line("01/Jan/2020:00:00:02", "2") + clf_line("01/Jan/2020:00:00:02", "2") +
                       clf_line("01/Jan/2020:00:00:03", "3") + clf_line("01/Jan/2020:00:00:03", "3"));
}

// An input out of order is not sorted; lines without a date come out as
// soon as they are reached.
TEST(Merge, KeepsEachInputsOwnOrder) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("01/Jan/2020:00:00:05", "late") + clf_line("01/Jan/2020:00:00:01", "early"));
  const std::string b = dir.write("b", clf_line("01/Jan/2020:00:00:03", "b") + "no date at all\n"s);
  const merged m = merge_files({a, b}, kInputBlockSize);
  EXPECT_EQ(m.out, clf_line("01/Jan/2020:00:00:03", "b") + "no date at all\n"s +
                       clf_line("01/Jan/2020:00:00:05", "late") + clf_line("01/Jan/2020:00:00:01", "early"));
}

// Random logs, mostly in order with ties, some lines without dates, some
// out of order, long lines, NUL bytes and missing final newlines, merged at
// several block and output sizes: the output is the reference merge's.
TEST(Merge, MatchesTheReferenceOnRandomLogs) {
  std::mt19937 rng(2024);
  const char* months[] = {"Jan", "Feb", "Mar", "Dec"};
  for (int trial = 0; trial < 60; ++trial) {
    temp_dir dir;
    const size_t k = 1 + rng() % 7;
    std::vector<std::vector<std::string>> logs(k);
    std::vector<std::string> paths;
    for (size_t i = 0; i < k; ++i) {
      const size_t n = 1 + rng() % 40;
      int day = 1 + static_cast<int>(rng() % 28), sec = 0;
      for (size_t j = 0; j < n; ++j) {
        std::string line;
        const unsigned roll = rng() % 20;
        sec += static_cast<int>(rng() % 3);
        if (roll == 0) {
          line = "no date, input " + std::to_string(i) + "\n";
        } else {
          if (roll == 1) day = 1 + static_cast<int>(rng() % 28);  // out of order
          char date[40];
          std::snprintf(date, sizeof date, "%02d/%s/2019:00:%02d:%02d", day,
                        months[(i + j / 10) % 4], sec / 60 % 60, sec % 60);
          line = clf_line(date, (std::to_string(i) + "-" + std::to_string(j)).c_str());
          if (roll == 2) line.insert(3, std::string(3000 + rng() % 5000, 'L'));
          if (roll == 3) line.insert(5, "\0\0"s);
        }
        logs[i].push_back(line);
      }
      if (rng() % 3 == 0) logs[i].back().pop_back();  // no final newline
      paths.push_back(dir.write("in" + std::to_string(i), joined(logs[i])));
    }
    const std::string expect = reference_merge_lines(logs);
    for (size_t block : {size_t{3}, size_t{256}, kInputBlockSize}) {
      const merged m = merge_files(paths, block, 1 + rng() % 5000);
      ASSERT_EQ(m.result.status, merge_status::done);
      ASSERT_EQ(m.out, expect) << "trial " << trial << " block " << block;
    }
  }
}
