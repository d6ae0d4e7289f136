// Faults injected at the read and write calls, in a child process running
// the whole program: interrupted calls, short writes, failing reads and
// failing writes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "input/sys_read.h"
#include "output/sys_write.h"
#include "tests/run_tool.h"
#include "tests/temp_dir.h"

namespace {

// What the fakes do; set by each test before the child is forked.
struct faults {
  ino_t failing_inode = 0;      // reads of this file fail ...
  size_t read_allowed = 0;      // ... once this many bytes have been read
  bool interrupt = false;       // every other read and write call: EINTR
  size_t write_chunk = 0;       // at most this much taken per write (0: all)
  size_t write_allowed = SIZE_MAX;  // writes fail with EIO past this total
} plan;

size_t read_so_far = 0, written_so_far = 0;
unsigned calls = 0;

ssize_t fake_read(int fd, void* buf, size_t n) {
  if (plan.interrupt && ++calls % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  struct stat st;
  if (plan.failing_inode != 0 && fstat(fd, &st) == 0 && st.st_ino == plan.failing_inode) {
    if (read_so_far >= plan.read_allowed) {
      errno = EIO;
      return -1;
    }
    n = std::min(n, plan.read_allowed - read_so_far);
    const ssize_t got = ::read(fd, buf, n);
    if (got > 0) read_so_far += static_cast<size_t>(got);
    return got;
  }
  return ::read(fd, buf, n);
}

ssize_t fake_write(int fd, const void* buf, size_t n) {
  if (plan.interrupt && ++calls % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  if (plan.write_chunk != 0) n = std::min(n, plan.write_chunk);
  if (written_so_far >= plan.write_allowed) {
    errno = EIO;
    return -1;
  }
  n = std::min(n, plan.write_allowed - written_so_far);
  const ssize_t put = ::write(fd, buf, n);
  if (put > 0) written_so_far += static_cast<size_t>(put);
  return put;
}

void install_fakes() {
  sys_read = fake_read;
  sys_write = fake_write;
}

std::string log_text(const char* host, int lines, int step) {
  std::string s;
  for (int i = 0; i < lines; ++i) {
    char line[200];
    const int t = i * step;
    std::snprintf(line, sizeof line,
                  "%s - - [03/Mar/2023:%02d:%02d:%02d +0000] \"GET /%d HTTP/1.1\" 200 %d\n", host,
                  t / 3600 % 24, t / 60 % 60, t % 60, i, i);
    s += line;
  }
  return s;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    plan = faults{};
    a = dir.write("a", log_text("a", 20000, 2));
    b = dir.write("b", log_text("b", 20000, 3));
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

TEST_F(Faults, ReadErrorMidMergeNamesTheInput) {
  plan.failing_inode = inode_of(b);
  plan.read_allowed = 300000;
  const run_result r = run_braidlogs_in_child({a, b}, install_fakes);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: " + b + ": Input/output error\n");
  // What was written is a whole-line prefix of the full merge.
  ASSERT_FALSE(r.out.empty());
  EXPECT_LT(r.out.size(), expected.size());
  EXPECT_EQ(expected.compare(0, r.out.size(), r.out), 0);
  EXPECT_EQ(r.out.back(), '\n');
}

TEST_F(Faults, ReadErrorAtStartUpWritesNothing) {
  plan.failing_inode = inode_of(b);
  plan.read_allowed = 0;
  const run_result r = run_braidlogs_in_child({a, b}, install_fakes);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: " + b + ": Input/output error\n");
  EXPECT_EQ(r.out, "");
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
