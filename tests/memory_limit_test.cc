// Under a limit on memory (ulimit -v), every input either merges whole or
// ends with "Cannot allocate memory": never called damaged, never cut
// short without a word, and what merges does not depend on how many
// decoding threads there are, only on what one input at a time needs.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/reference_merge.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

// Address space the child may take beyond what it has when the limit is set.
size_t extra_allowed = 0;

void limit_memory() {
  // As main does: one heap for every thread.
  mallopt(M_ARENA_MAX, 1);
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  struct rlimit rl;
  rl.rlim_cur = rl.rlim_max =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + extra_allowed;
  setrlimit(RLIMIT_AS, &rl);
}

// A sanitizer's shadow memory fits under no limit (the build says so).
#ifdef BRAIDLOGS_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

// A sound file of every format, under limits from too small to enough:
// whole, or the memory message; never "corrupt" nor "truncated".
TEST(MemoryLimit, RunningOutIsNeverCalledDamage) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's memory does not fit under a limit";
  temp_dir dir;
  const std::string text = varied_log(20000, 3);
  const std::string other = dir.write("other.log", sample_log(50, 2));
  const std::string want = reference_merge({text, read_file(other)});
  decode_plan plan;
  plan.off = true;  // the same library calls decode on the pool
  int refused = 0;
  for (const std::string& format : compressed_formats()) {
    // lz4 as its command writes it: blocks that liblz4 buffers itself.
    const std::string path = dir.write(
        "log." + format, format == "lz4" ? lz4_with_large_blocks(text) : compress(format, text));
    int whole = 0;
    for (size_t extra = 0; extra <= (size_t{32} << 20); extra = extra * 2 + (size_t{64} << 10)) {
      extra_allowed = extra;
      const run_result got = run_braidlogs_in_child({path, other}, limit_memory, plan);
      if (got.status == 0 && got.err.empty()) {
        EXPECT_TRUE(got.out == want) << format << " at " << extra;
        ++whole;
      } else {
        EXPECT_EQ(got.status, 1) << format << " at " << extra;
        EXPECT_NE(got.err.find("Cannot allocate memory"), std::string::npos)
            << format << " at " << extra << ": " << got.err;
        ++refused;
      }
    }
    EXPECT_GT(whole, 0) << format << " never had memory enough";
  }
  EXPECT_GT(refused, 0) << "no limit was too small";
}

// Files whose windows fit one at a time but not two: read one at a time,
// at start-up and in the merge, on one thread and on several.
TEST(MemoryLimit, ThreadsNeverChangeWhatMerges) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's memory does not fit under a limit";
  if (!can_compress("zstd")) GTEST_SKIP() << "built without zstd";
  temp_dir dir;
  std::vector<std::string> paths, texts;
  for (int i = 0; i < 6; ++i) {
    texts.push_back(sample_log(20, i + 1));
    // A window of 1 GiB: one fits under the limit, two do not.
    paths.push_back(dir.write("day" + std::to_string(i) + ".zst", zstd_with_window(texts.back(), 30)));
  }
  const std::string want = reference_merge(texts);
  extra_allowed = size_t{1536} << 20;
  for (const unsigned threads : {1u, 2u, 4u}) {
    decode_plan plan;
    plan.threads = threads;
    const run_result got = run_braidlogs_in_child(paths, limit_memory, plan);
    EXPECT_EQ(got.status, 0) << threads << " threads: " << got.err;
    EXPECT_TRUE(got.out == want) << threads << " threads";
  }
}
