// Faults injected at the read and write calls, in a child process running
// the whole program: interrupted calls, short writes, failing reads and
// failing writes.
#include <gtest/gtest.h>

#include <string>

#include "tests/fake_seams.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

// What the fakes do; set by each test before the child is forked.
fake_seams plan;
void install_fakes() { fake_seams_install(plan); }

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    plan = fake_seams{};
    a = dir.write("a", sample_log(20000, 1));
    b = dir.write("b", sample_log(20000, 2));
    expected = run_braidlogs({a, b}).out;
    ASSERT_GT(expected.size(), 1000000u);
  }
  temp_dir dir;
  std::string a, b, expected;
};

}  // namespace

TEST_F(Faults, InterruptedCallsAndShortWritesLoseNothing) {
  plan.interrupt = true;
  plan.write_chunk = 777;
  const run_result r = run_braidlogs_in_child({a, b}, install_fakes);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out == expected);
}

// A read error names the input. At start-up nothing is written; in the
// middle, what was written is a whole-line prefix of the full merge.
TEST_F(Faults, ReadErrorsNameTheInput) {
  for (size_t allowed : {size_t{0}, size_t{300000}}) {
    plan.read_inode = inode_of(b);
    plan.read_allowed = allowed;
    const run_result r = run_braidlogs_in_child({a, b}, install_fakes);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "braidlogs: " + b + ": Input/output error\n");
    EXPECT_EQ(r.out.empty(), allowed == 0);
    EXPECT_LT(r.out.size(), expected.size());
    EXPECT_EQ(expected.compare(0, r.out.size(), r.out), 0);
    if (!r.out.empty()) {
      EXPECT_EQ(r.out.back(), '\n');
    }
  }
}

// A write error is never success, whether it strikes mid-stream or at the
// final flush, and nothing past the failure is claimed.
TEST_F(Faults, WriteErrorsAreReported) {
  for (size_t allowed : {size_t{0}, size_t{123457}, expected.size() - 1}) {
    plan.write_allowed = allowed;
    plan.write_chunk = 5000;
    const run_result r = run_braidlogs_in_child({a, b}, install_fakes);
    EXPECT_EQ(r.status, 1) << allowed;
    EXPECT_EQ(r.err, "braidlogs: write error: Input/output error\n");
    EXPECT_EQ(r.out.size(), allowed);
    EXPECT_EQ(expected.compare(0, r.out.size(), r.out), 0);
  }
}
