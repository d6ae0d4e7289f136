// Faults injected at the read and write calls of a whole run, in the
// test's process: interrupted calls, short writes, failing reads, files
// cut short and failing writes.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/fake_seams.h"
#include "tests/reference_merge.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

// What the fakes do; set by each test before the run.
fake_seams plan;

run_result run_with_fakes(const std::vector<std::string>& args) {
  fake_io io(plan);
  run_seams seams;
  seams.reads = fake_reads(io);
  seams.writes = fake_writes(io);
  return run_braidlogs_here(args, seams);
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    plan = fake_seams{};
    a = dir.write("a", sample_log(20000, 1));
    b = dir.write("b", sample_log(20000, 2));
    expected = run_braidlogs_here({a, b}).out;
    ASSERT_GT(expected.size(), 1000000u);
  }
  temp_dir dir;
  std::string a, b, expected;
};

}  // namespace

TEST_F(Faults, InterruptedCallsAndShortWritesLoseNothing) {
  plan.interrupt = true;
  plan.write_chunk = 777;
  const run_result r = run_with_fakes({a, b});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out == expected);
}

// A read error names the input. At start-up nothing is written; in the
// middle, that input ends with its last whole line read, and the other is
// merged to its end.
TEST_F(Faults, ReadErrorsNameTheInput) {
  for (size_t allowed : {size_t{0}, size_t{300000}}) {
    plan.read_inode = inode_of(b);
    plan.read_allowed = allowed;
    const run_result r = run_with_fakes({a, b});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "braidlogs: " + b + ": Input/output error\n");
    const std::string b_read = read_file(b).substr(0, allowed);
    const std::string want =
        allowed == 0 ? "" : reference_merge({read_file(a), b_read.substr(0, b_read.rfind('\n') + 1)});
    EXPECT_TRUE(r.out == want) << r.out.size() << " bytes against " << want.size();
  }
}

// A write error is never success, whether it strikes mid-stream or at the
// final flush, and nothing past the failure is claimed.
TEST_F(Faults, WriteErrorsAreReported) {
  for (size_t allowed : {size_t{0}, size_t{123457}, expected.size() - 1}) {
    plan.write_allowed = allowed;
    plan.write_chunk = 5000;
    const run_result r = run_with_fakes({a, b});
    EXPECT_EQ(r.status, 1) << allowed;
    EXPECT_EQ(r.err, "braidlogs: write error: Input/output error\n");
    EXPECT_EQ(r.out.size(), allowed);
    EXPECT_EQ(expected.compare(0, r.out.size(), r.out), 0);
  }
}

namespace {
std::string shrinking;
bool shrink() { return truncate(shrinking.c_str(), 100) == 0; }  // both are larger
}  // namespace

// A file truncated in place while it is read (copytruncate rotation) is
// not taken for a file that ended: its lines read so far stand, then it is
// named, with status 1. Plain or compressed alike.
TEST_F(Faults, AFileCutShortWhileReadIsReported) {
  const std::string text = read_file(b);
  for (const std::string& format : {std::string("gzip"), std::string("plain")}) {
    if (format != "plain" && !can_compress(format)) continue;
    shrinking = format == "plain" ? b : dir.write("b.gz", compress(format, text));
    plan.read_inode = inode_of(shrinking);
    plan.at_end = shrink;
    const run_result r = run_with_fakes({a, shrinking});
    EXPECT_EQ(r.status, 1) << format;
    EXPECT_EQ(r.err, "braidlogs: " + shrinking + ": file truncated\n");
    EXPECT_TRUE(r.out == expected) << format;
  }
}
