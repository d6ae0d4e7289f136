#include "output/output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "tests/fake_seams.h"

namespace {

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override { fake.kept = &written; }
  void TearDown() override { output_close(out); }
  // Opens `out` on the fake, with a buffer of 64 bytes.
  void open_fake() {
    io = std::make_unique<fake_io>(fake);
    ASSERT_TRUE(output_open(out, 1, 64, fake_writes(*io)));
  }
  fake_seams fake;
  std::unique_ptr<fake_io> io;
  std::string written;
  output out;
};

std::string pattern(size_t n) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

}  // namespace

// Pieces smaller than, equal to and far larger than the buffer all arrive
// whole and in order, even through short and interrupted writes.
TEST_F(OutputTest, EveryByteArrivesInOrder) {
  fake.write_chunk = 7;
  fake.interrupt = true;
  open_fake();
  std::string expect;
  for (size_t n : {1, 10, 63, 64, 65, 200, 3, 640, 0, 129}) {
    const std::string piece = pattern(n);
    ASSERT_TRUE(output_put(out, piece));
    expect += piece;
  }
  ASSERT_TRUE(output_put_line(out, "no newline"));
  expect += "no newline\n";
  ASSERT_TRUE(output_put_line(out, "has one\n"));
  expect += "has one\n";
  ASSERT_TRUE(output_flush(out));
  EXPECT_EQ(written, expect);
}

TEST_F(OutputTest, AWriteErrorSticksAndIsReported) {
  fake.write_allowed = 100;
  open_fake();
  bool ok = true;
  for (int i = 0; i < 10 && ok; ++i) ok = output_put(out, pattern(30));
  EXPECT_FALSE(ok);
  EXPECT_EQ(out.error, EIO);
  EXPECT_FALSE(output_put(out, "x"));
  EXPECT_FALSE(output_flush(out));
}

TEST_F(OutputTest, TheFinalFlushReportsFailure) {
  fake.write_allowed = 0;
  fake.write_errno = ENOSPC;
  open_fake();
  ASSERT_TRUE(output_put(out, "buffered only\n"));
  EXPECT_FALSE(output_flush(out));
  EXPECT_EQ(out.error, ENOSPC);
}
