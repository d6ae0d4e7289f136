// The progress line, on a pseudo-terminal and a clock that moves 0.3 s at
// every reading: shown during a long merge, erased at the end and before an
// error message, and absent when standard error is not a terminal.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "cli/run.h"
#include "tests/compress.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

double fake_now = 0;
double fake_clock() { return fake_now += 0.3; }
void slow_clock() { progress_clock = fake_clock; }

const char kErase[] = "\r\033[K";

// Runs braidlogs_run in a child whose standard error is a terminal and
// standard output a file; returns what the terminal showed.
run_result run_on_terminal(const std::vector<std::string>& args) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
  temp_dir scratch;
  const std::string out_path = scratch.file("out");
  std::vector<char*> argv = {const_cast<char*>("braidlogs")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    dup2(slave, 2);
    close(slave);
    const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    close(o);
    slow_clock();
    _exit(braidlogs_run(static_cast<int>(argv.size() - 1), argv.data()));
  }
  close(slave);
  run_result r;
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) r.err.append(buf, static_cast<size_t>(n));
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out_path);
  return r;
}

}  // namespace

TEST(Progress, ShownDuringALongMergeAndErasedAtTheEnd) {
  temp_dir dir;
  const std::string a = dir.write("a", sample_log(40000, 1)), b = dir.write("b", sample_log(40000, 2));
  const run_result r = run_on_terminal({a, b});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 2 * sample_log(40000, 1).size());
  EXPECT_NE(r.err.find(" MiB of "), std::string::npos) << r.err.substr(0, 200);
  EXPECT_NE(r.err.find("% "), std::string::npos);
  EXPECT_NE(r.err.find(" left"), std::string::npos);
  // The terminal is left as it was: the last thing written erases the line.
  ASSERT_GE(r.err.size(), sizeof kErase - 1);
  EXPECT_EQ(r.err.substr(r.err.size() - (sizeof kErase - 1)), kErase);
}

TEST(Progress, ErasedBeforeAnErrorMessage) {
  if (!can_compress("xz")) GTEST_SKIP() << "built without xz";
  temp_dir dir;
  const std::string packed = compress("xz", sample_log(40000, 2));
  const std::string a = dir.write("a", sample_log(40000, 1));
  const std::string b = dir.write("b.xz", packed.substr(0, packed.size() - 100));
  const run_result r = run_on_terminal({a, b});
  EXPECT_EQ(r.status, 1);
  const size_t erased = r.err.rfind(kErase);
  ASSERT_NE(erased, std::string::npos) << r.err.substr(0, 200);
  // After the last erasing, the message alone (the terminal adds \r to \n).
  EXPECT_EQ(r.err.substr(erased + sizeof kErase - 1), "braidlogs: " + b + ": truncated xz data\r\n");
}

TEST(Progress, AbsentWhenStandardErrorIsNotATerminal) {
  temp_dir dir;
  const std::string a = dir.write("a", sample_log(40000, 1)), b = dir.write("b", sample_log(40000, 2));
  const run_result r = run_braidlogs_in_child({a, b}, slow_clock);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}
