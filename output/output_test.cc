#include "output/output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "output/sys_write.h"

namespace {

// A stand-in for write(2): takes at most `chunk` bytes a call, fails every
// `eintr_every`-th call with EINTR, and fails for good with `fail_errno` once
// `fail_after` bytes have gone through.
struct fake_sink {
  std::string written;
  size_t chunk = SIZE_MAX;
  int eintr_every = 0;
  size_t fail_after = SIZE_MAX;
  int fail_errno = ENOSPC;
  int calls = 0;
};
fake_sink* sink = nullptr;

ssize_t fake_write(int, const void* buf, size_t n) {
  ++sink->calls;
  if (sink->eintr_every > 0 && sink->calls % sink->eintr_every == 0) {
    errno = EINTR;
    return -1;
  }
  if (sink->written.size() >= sink->fail_after) {
    errno = sink->fail_errno;
    return -1;
  }
  n = std::min({n, sink->chunk, sink->fail_after - sink->written.size()});
  sink->written.append(static_cast<const char*>(buf), n);
  return static_cast<ssize_t>(n);
}

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink = &fake;
    sys_write = fake_write;
  }
  void TearDown() override {
    sys_write = ::write;
    sink = nullptr;
    output_close(out);
  }
  fake_sink fake;
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
  fake.chunk = 7;
  fake.eintr_every = 3;
  ASSERT_TRUE(output_open(out, 1, 64));
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
  EXPECT_EQ(fake.written, expect);
}

TEST_F(OutputTest, AWriteErrorSticksAndIsReported) {
  fake.fail_after = 100;
  fake.fail_errno = EIO;
  ASSERT_TRUE(output_open(out, 1, 64));
  bool ok = true;
  for (int i = 0; i < 10 && ok; ++i) ok = output_put(out, pattern(30));
  EXPECT_FALSE(ok);
  EXPECT_EQ(out.error, EIO);
  EXPECT_FALSE(output_put(out, "x"));
  EXPECT_FALSE(output_flush(out));
}

TEST_F(OutputTest, TheFinalFlushReportsFailure) {
  fake.fail_after = 0;
  ASSERT_TRUE(output_open(out, 1, 64));
  ASSERT_TRUE(output_put(out, "buffered only\n"));
  EXPECT_FALSE(output_flush(out));
  EXPECT_EQ(out.error, ENOSPC);
}
