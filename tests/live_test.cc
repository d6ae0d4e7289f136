// Live merges: with inputs that stay open (tail -F, ssh), the lines already
// decided reach the reader at once; a line that still depends on a quiet
// input's next line waits for it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

void put(int fd, const std::string& s) {
  ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// Reads until `want` bytes have come or the writer goes quiet for 10 s (a
// guard for a failing run only: a passing one never waits that long).
std::string take(int fd, size_t want) {
  std::string got;
  char buf[4096];
  while (got.size() < want) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// Starts braidlogs on a and b, its standard output a pipe; returns its pid
// and sets *out to the pipe's reading end.
pid_t start_braidlogs(const std::string& a, const std::string& b, int* out) {
  int p[2];
  if (pipe(p) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    close(p[1]);
    execl(BRAIDLOGS_BIN, "braidlogs", a.c_str(), b.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[1]);
  *out = p[0];
  return pid;
}

// braidlogs ended by itself, with status 0.
void expect_clean_end(pid_t pid, int out) {
  kill(pid, SIGKILL);  // a no-op unless the merge hung
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(out);
}

}  // namespace

TEST(Live, DecidedLinesGoOutWhileTheInputsStayOpen) {
  temp_dir dir;
  const std::string a = dir.file("a"), b = dir.file("b");
  ASSERT_EQ(mkfifo(a.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(b.c_str(), 0600), 0);
  int out = -1;
  const pid_t pid = start_braidlogs(a, b, &out);
  ASSERT_GE(pid, 0);
  const int wa = open(a.c_str(), O_WRONLY);  // braidlogs opens a first
  put(wa, clf_at(1, "a1") + clf_at(3, "a2"));
  const int wb = open(b.c_str(), O_WRONLY);
  put(wb, clf_at(2, "b1"));
  // a1 and b1 are decided; a2 waits for b's next line.
  std::string want = clf_at(1, "a1") + clf_at(2, "b1");
  EXPECT_EQ(take(out, want.size()), want);
  put(wb, clf_at(4, "b2"));
  want = clf_at(3, "a2");
  EXPECT_EQ(take(out, want.size()), want);
  close(wa);
  close(wb);
  want = clf_at(4, "b2");
  EXPECT_EQ(take(out, want.size() + 1), want);  // and then the end
  expect_clean_end(pid, out);
}

// A live input whose first line is shorter than any signature: its format
// is told as soon as the bytes rule every one out, so start-up goes on.
TEST(Live, AShortFirstLineDoesNotHoldUpStartUp) {
  temp_dir dir;
  const std::string a = dir.file("a"), b = dir.write("b", clf_at(1, "b1"));
  ASSERT_EQ(mkfifo(a.c_str(), 0600), 0);
  int out = -1;
  const pid_t pid = start_braidlogs(a, b, &out);
  ASSERT_GE(pid, 0);
  const int wa = open(a.c_str(), O_WRONLY);
  put(wa, "x\n");  // undated: it goes first, once start-up is done
  EXPECT_EQ(take(out, 2), "x\n");
  close(wa);
  EXPECT_EQ(take(out, 1000), clf_at(1, "b1"));
  expect_clean_end(pid, out);
}
