// The merge in ranges on several threads gives the bytes, messages and
// status of the merge line by line, on random inputs that are unsorted,
// tied, undated, long-lined, damaged, empty or without a last newline.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/compress.h"
#include "tests/reference_merge.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

// One input's text: dates that mostly rise, but fall back, repeat and go
// missing; now and then a line of hundreds of kilobytes or with NUL bytes.
std::string random_input(std::mt19937& rng, size_t lines) {
  std::string text;
  int second = static_cast<int>(rng() % 40);
  for (size_t i = 0; i < lines; ++i) {
    const unsigned roll = rng() % 100;
    if (roll < 5) {
      second -= static_cast<int>(rng() % 30);  // out of order
    } else if (roll < 60) {
      second += static_cast<int>(rng() % 3);  // ties are common
    }
    if (second < 0) second = 0;
    std::string line = clf_at(second, std::to_string(i));
    if (roll >= 95 && roll < 97) line = "no date here " + std::to_string(i) + "\n";
    if (roll == 97) line.insert(line.size() - 1, std::string(100'000 + rng() % 300'000, 'x'));
    if (roll == 98) line[5] = '\0';
    text += line;
  }
  if (!text.empty() && rng() % 4 == 0) text.pop_back();  // no last newline
  return text;
}

struct run_way {
  const char* name;
  unsigned threads;
  unsigned ranges;
};

}  // namespace

TEST(Ranges, GiveTheBytesMessagesAndStatusOfTheMergeLineByLine) {
  const run_way kWays[] = {{"one thread", 2, 1}, {"2 ranges", 2, 2}, {"8 ranges", 8, 8}};
  const bool gzip = can_compress("gzip");
  std::mt19937 rng(20261210);
  for (int round = 0; round < 40; ++round) {
    temp_dir dir;
    std::vector<std::string> paths;
    const size_t inputs = 2 + rng() % 5;
    for (size_t i = 0; i < inputs; ++i) {
      const size_t lines = rng() % 7 == 0 ? 0 : 1 + rng() % (round % 5 == 0 ? 3000 : 300);
      std::string text = random_input(rng, lines);
      if (gzip && !text.empty() && rng() % 3 == 0) {
        text = compress("gzip", text);
        if (rng() % 2 == 0) text[text.size() / 2] ^= 0x5a;  // damaged in the middle
      }
      paths.push_back(dir.write(std::to_string(i), text));
    }
    run_result want;
    for (const run_way& way : kWays) {
      run_seams seams;
      seams.plan.threads = way.threads;
      seams.plan.block = round % 2 == 0 ? 4096 : 0;
      seams.merge.ranges = way.ranges;
      const run_result got = run_braidcat_here(paths, {}, seams);
      if (way.ranges == 1) {
        want = got;
        continue;
      }
      EXPECT_EQ(got.status, want.status) << way.name << ", round " << round;
      EXPECT_EQ(got.err, want.err) << way.name << ", round " << round;
      EXPECT_TRUE(got.out == want.out) << way.name << ", round " << round << ": "
                                       << got.out.size() << " bytes against " << want.out.size();
    }
  }
}

// With eight threads, eight ranges merge at once: each one that begins on
// one of the pool's threads waits until eight have. (The merge thread
// merges a range only when the pool has no room for one more job; it never
// waits, and there are more ranges than threads, so the eight always
// come.)
TEST(Ranges, EightRangesMergeAtOnceOnEightThreads) {
  temp_dir dir;
  std::vector<std::string> paths;
  const std::vector<std::string> texts = {sample_log(4000, 1), sample_log(4000, 2)};
  for (size_t i = 0; i < texts.size(); ++i) paths.push_back(dir.write(std::to_string(i), texts[i]));
  struct gate {
    std::mutex m;
    std::condition_variable cv;
    int begun = 0;
    std::thread::id merging = std::this_thread::get_id();
  } g;
  size_t peak = 0;
  run_seams seams;
  seams.plan.threads = 8;
  seams.merge.ranges = 16;
  seams.merge.ranges_peak = &peak;
  seams.merge.range_arg = &g;
  seams.merge.range_begun = [](void* arg) {
    gate& g = *static_cast<gate*>(arg);
    if (std::this_thread::get_id() == g.merging) return;
    std::unique_lock<std::mutex> lock(g.m);
    if (++g.begun >= 8) g.cv.notify_all();
    // A minute at most, so that a fault fails the test rather than hangs it.
    g.cv.wait_for(lock, std::chrono::minutes(1), [&] { return g.begun >= 8; });
  };
  const run_result r = run_braidlogs_here(paths, seams);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == reference_merge(texts));
  EXPECT_GE(peak, 8u);
}
