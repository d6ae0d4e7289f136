// Under a limit on memory (ulimit -v), every input either merges whole or
// ends with "Cannot allocate memory": never called damaged, never cut
// short without a word, and what merges does not depend on how many
// decoding threads there are, only on what one input at a time needs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "tests/compress.h"
#include "tests/fake_seams.h"
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

// A run under a limit in a process of its own: the test binary itself,
// started again for MemoryLimitChild.Run alone, so that the limit is
// measured from a process that holds nothing of the other tests' heap (a
// forked child of this one would inherit it, and its free memory). Its
// output and messages go to descriptors 3 and 4. Threads 0: decoding in
// the merge thread alone. Files larger than pieces_from decode in pieces.
run_result run_limited(const std::vector<std::string>& paths, unsigned threads, size_t extra,
                       size_t pieces_from = 1) {
  temp_dir scratch;
  std::string run_words = std::to_string(threads) + " " + std::to_string(extra) + " " +
                          std::to_string(pieces_from);
  for (const std::string& p : paths) run_words += " " + p;
  if (fork() == 0) {
    setenv("BRAIDLOGS_LIMITED_RUN", run_words.c_str(), 1);
    dup2(open(scratch.file("out").c_str(), O_WRONLY | O_CREAT, 0600), 3);
    dup2(open(scratch.file("err").c_str(), O_WRONLY | O_CREAT, 0600), 4);
    dup2(open("/dev/null", O_WRONLY), 1);
    execl("/proc/self/exe", "braidlogs_tests", "--gtest_filter=MemoryLimitChild.Run", nullptr);
    _exit(127);
  }
  int wstatus = 0;
  while (wait(&wstatus) < 0) {
  }
  return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus),
          read_file(scratch.file("out")), read_file(scratch.file("err"))};
}

}  // namespace

TEST(MemoryLimitChild, Run) {
  const char* run_words = std::getenv("BRAIDLOGS_LIMITED_RUN");
  if (run_words == nullptr) GTEST_SKIP() << "started by the MemoryLimit tests";
  std::istringstream words(run_words);
  decode_plan plan;
  words >> plan.threads >> extra_allowed >> plan.pieces_from;
  plan.off = plan.threads == 0;
  std::vector<std::string> args = {"braidlogs"};
  for (std::string path; words >> path;) args.push_back(path);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  dup2(3, 1);
  dup2(4, 2);
  limit_memory();
  _exit(braidlogs_run(static_cast<int>(args.size()), argv.data(), with_plan(plan)));
}


// A sound file of every format, under limits from too small to enough:
// whole, or the memory message; never "corrupt" nor "truncated".
TEST(MemoryLimit, RunningOutIsNeverCalledDamage) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's memory does not fit under a limit";
  temp_dir dir;
  const std::string text = varied_log(20000, 3);
  const std::string other = dir.write("other.log", sample_log(50, 2));
  const std::string want = reference_merge({text, read_file(other)});
  int refused = 0;
  for (const std::string& format : compressed_formats()) {
    // lz4 as its command writes it: blocks that liblz4 buffers itself.
    const std::string path = dir.write(
        "log." + format, format == "lz4" ? lz4_with_large_blocks(text) : compress(format, text));
    int whole = 0;
    for (size_t extra = 0; extra <= (size_t{32} << 20); extra = extra * 2 + (size_t{64} << 10)) {
      // In the merge thread (the same library calls decode on the pool), in
      // a process of its own: a forked child of this one would inherit its
      // heap, and what the tests before left free in it.
      const run_result got = run_limited({path, other}, 0, extra);
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
// at start-up and in the merge, on one thread and on several. Decoding in
// the merge thread (0), a file read in its turn gives way to the next
// (as on the pool, whose threads race to the same place).
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
  for (const unsigned threads : {0u, 1u, 2u, 4u}) {
    const run_result got = run_limited(paths, threads, size_t{1536} << 20, 0);
    EXPECT_EQ(got.status, 0) << threads << " threads: " << got.err;
    EXPECT_TRUE(got.out == want) << threads << " threads";
  }
}

// Large files decoded on the pool in pieces (bzip2 blocks, BGZF members,
// xz blocks), needed at once by the merge: at every limit at which one
// thread merged them whole with 8 MiB less, so do two and eight; below,
// each run merges them whole or every input that stops says only that
// memory ran out. (Just at the limit, whether one heap has room enough
// depends on when the threads freed what they held.)
TEST(MemoryLimit, AtEveryLimitThreadsMergeWhatOneThreadMerges) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's memory does not fit under a limit";
  temp_dir dir;
  std::vector<std::string> paths, texts;
  for (int i = 0; i < 6; ++i) {
    const std::string text = varied_log(30000, static_cast<unsigned>(i + 5));
    std::string packed;
    if (i < 4 && can_compress("bzip2")) packed = compress("bzip2", text);
    if (i == 4 && can_compress("xz")) packed = xz_with_blocks(text, size_t{1} << 20);
    if (i == 5 && can_compress("gzip")) packed = bgzf(text);
    if (packed.empty()) continue;
    paths.push_back(dir.write("log" + std::to_string(i), packed));
    texts.push_back(text);
  }
  if (paths.empty()) GTEST_SKIP() << "no format with pieces in this build";
  const std::string whole = reference_merge(texts);
  bool one_had_enough = false;  // one thread merged them whole at the limit before
  for (size_t extra = size_t{8} << 20; extra <= (size_t{72} << 20); extra += size_t{8} << 20) {
    bool one_has_enough = false;
    for (const unsigned threads : {1u, 2u, 8u}) {
      const run_result got = run_limited(paths, threads, extra);
      const std::string at = std::to_string(threads) + " threads at " +
                             std::to_string(extra >> 20) + " MiB";
      if (one_had_enough) {
        EXPECT_EQ(got.status, 0) << at << ": " << got.err;
      }
      if (got.status == 0) {
        EXPECT_TRUE(got.out == whole) << at << ": " << got.out.size() << " bytes";
        if (threads == 1) one_has_enough = true;
        continue;
      }
      EXPECT_EQ(got.status, 1) << at;
      for (size_t from = 0, to; (to = got.err.find('\n', from)) != std::string::npos;
           from = to + 1)
        EXPECT_TRUE(got.err.substr(from, to - from).ends_with(": Cannot allocate memory"))
            << at << ": " << got.err;
    }
    one_had_enough = one_had_enough || one_has_enough;
  }
  EXPECT_TRUE(one_had_enough) << "one thread never had memory enough";
}

// Memory running out while a file decodes in its turn, on the pool or in
// the merge thread: every input gives way and goes on in the merge thread,
// and the file is merged whole, on one thread or many. (The failure is a
// read that says ENOMEM once, which the decoder reports as memory running
// out.)
TEST(MemoryLimit, AnInputShortOfMemoryGoesOnAlone) {
  temp_dir dir;
  const std::string a_text = varied_log(20000, 1), b_text = varied_log(20000, 2);
  const std::string want = reference_merge({a_text, b_text});
  for (const std::string& f : compressed_formats()) {
    const std::string a = dir.write("a." + f, compress(f, a_text));
    const std::string b = dir.write("b." + f, compress(f, b_text));
    for (const unsigned threads : {0u, 1u, 3u, 8u}) {  // 0: decoded in the merge thread
      fake_io no_memory_once({.read_inode = inode_of(b), .read_allowed = 70000,
                              .read_errno = ENOMEM, .read_fails_once = true});
      decode_plan plan;
      plan.threads = threads;
      plan.off = threads == 0;
      plan.pieces_from = 1;
      const run_result r =
          run_braidlogs_here({a, b}, with_seams(fake_reads(no_memory_once), {}, plan));
      EXPECT_EQ(r.status, 0) << f << ", " << threads << " threads: " << r.err;
      EXPECT_TRUE(r.out == want) << f << ", " << threads << " threads: " << r.out.size()
                                 << " bytes against " << want.size();
    }
  }
}
