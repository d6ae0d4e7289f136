// The progress line, on a pseudo-terminal and a clock that moves at every
// reading: shown during a long merge into a file, fitted to the terminal,
// erased at the end, before an error message and when a signal ends the
// process; absent when standard output is a pipe, when standard error is
// not a terminal, and on a terminal that cannot erase a line.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "cli/run.h"
#include "input/log_input.h"
#include "output/output.h"
#include "tests/compress.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

double fake_now = 0, fake_step = 0.3;
double fake_clock(void*) { return fake_now += fake_step; }
run_seams slow_clock() {
  run_seams seams;
  seams.clock = {fake_clock, nullptr};
  return seams;
}

const char kErase[] = "\r\033[K";

struct terminal {
  unsigned short cols = 80;
  const char* term = "xterm";  // nullptr: unset
  const char* out = nullptr;   // standard output: a file (nullptr), "/dev/null" or "pipe"
  double clock_step = 0.3;
};

// Starts braidlogs_run in a child whose standard error is a terminal of
// `t`'s kind; returns its pid and the terminal's reading end.
pid_t start_on_terminal(const std::vector<std::string>& args, const terminal& t,
                        const std::string& out_path, int* master) {
  struct winsize ws = {24, t.cols, 0, 0};
  int slave = -1;
  if (openpty(master, &slave, nullptr, nullptr, &ws) != 0) throw std::runtime_error("openpty");
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv = {const_cast<char*>("braidlogs")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    close(*master);
    dup2(slave, 2);
    close(slave);
    int o = -1;
    if (t.out != nullptr && std::string(t.out) == "pipe") {
      int p[2];
      if (pipe(p) != 0) _exit(126);
      if (fork() == 0) {  // the pipe's reader, to its end
        close(p[1]);
        char sink[65536];
        while (read(p[0], sink, sizeof sink) > 0) {
        }
        _exit(0);
      }
      close(p[0]);
      o = p[1];
    } else {
      o = open(t.out != nullptr ? t.out : out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    dup2(o, 1);
    if (t.term != nullptr) {
      setenv("TERM", t.term, 1);
    } else {
      unsetenv("TERM");
    }
    fake_step = t.clock_step;
    _exit(braidlogs_run(static_cast<int>(argv.size() - 1), argv.data(), slow_clock()));
  }
  close(slave);
  return pid;
}

// Reads the terminal until the child closes it, or until `until` shows.
std::string read_terminal(int master, const std::string& until = "") {
  std::string got;
  char buf[4096];
  for (;;) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;  // a guard for a failing run only
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    if (!until.empty() && got.find(until) != std::string::npos) break;
  }
  return got;
}

run_result run_on_terminal(const std::vector<std::string>& args, const terminal& t = {}) {
  temp_dir scratch;
  int master = -1;
  const pid_t pid = start_on_terminal(args, t, scratch.file("out"), &master);
  run_result r;
  r.err = read_terminal(master);
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(scratch.file("out"));
  return r;
}

// The lines drawn: what stands between each \r and the erasing that ends it.
std::vector<std::string> drawn(const std::string& err) {
  std::vector<std::string> lines;
  for (size_t at = 0; (at = err.find('\r', at)) != std::string::npos; ++at) {
    const size_t end = err.find("\033[K", at);
    if (end != std::string::npos && end > at + 1) lines.push_back(err.substr(at + 1, end - at - 1));
  }
  return lines;
}

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    a = dir.write("a", sample_log(40000, 1));
    b = dir.write("b", sample_log(40000, 2));
  }
  temp_dir dir;
  std::string a, b;
};

}  // namespace

TEST_F(Progress, ShownDuringALongMergeIntoAFileAndErasedAtTheEnd) {
  for (const char* out : {static_cast<const char*>(nullptr), "/dev/null"}) {
    const run_result r = run_on_terminal({a, b}, {.out = out});
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = drawn(r.err);
    ASSERT_FALSE(lines.empty()) << r.err.substr(0, 200);
    EXPECT_NE(lines.back().find("% "), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find(" MiB written  "), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("/s  0:"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find(" left"), std::string::npos) << lines.back();
    // The terminal is left as it was: the last thing written erases the line.
    EXPECT_TRUE(r.err.ends_with(kErase));
  }
}

// Never drawn where it would land in another program's screen or where it
// cannot be erased: output into a pipe, a dumb or unknown terminal, no
// terminal at all.
TEST_F(Progress, AbsentWhereItWouldGetInTheWay) {
  for (const terminal& t : {terminal{.out = "pipe"}, terminal{.term = "dumb"},
                            terminal{.term = nullptr}}) {
    const run_result r = run_on_terminal({a, b}, t);
    EXPECT_EQ(r.err, "") << (t.out != nullptr ? t.out : t.term != nullptr ? t.term : "TERM unset");
  }
  const run_result r = run_braidlogs_here({a, b}, slow_clock());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// Cut to the terminal's width, less a column, so that it never wraps, by
// leaving out whole fields: what shows is always whole.
TEST_F(Progress, FitsANarrowTerminalWithWholeFields) {
  const std::regex whole(
      R"(\s*\d+%|\d+(\.\d)? (B|KiB|MiB|GiB) written|\d+(\.\d)? (B|KiB|MiB|GiB)/s|\d+:\d\d left|waiting for input|opening \d+/\d+)");
  for (const unsigned short cols : {20, 30, 40}) {
    const run_result r = run_on_terminal({a, b}, {.cols = cols});
    const std::vector<std::string> lines = drawn(r.err);
    ASSERT_FALSE(lines.empty()) << cols;
    for (const std::string& l : lines) {
      EXPECT_LE(l.size(), cols - 1u) << l;
      for (size_t at = 0, end; at <= l.size(); at = end + 2) {
        end = std::min(l.find("  ", l.find_first_not_of(' ', at)), l.size());
        EXPECT_TRUE(std::regex_match(l.substr(at, end - at), whole)) << cols << ": " << l;
      }
    }
    EXPECT_NE(lines.back().find('%'), std::string::npos) << cols << ": " << lines.back();
  }
}

// A farm laid out as delaycompress leaves it: each server's older days
// compressed, its newest two plain. Percent follows the text merged, not
// the bytes of the files read (a compressed byte holds many of text): at
// every drawing it is near the share of the text written so far, it never
// falls, and the last line drawn is near 100.
TEST_F(Progress, PercentFollowsTheTextOfCompressedAndPlainDays) {
  if (!can_compress("gzip")) GTEST_SKIP() << "built without gzip";
  std::vector<std::string> paths;
  double text_bytes = 0;
  std::mt19937 rng(5);
  for (int s = 0; s < 3; ++s) {
    for (int d = 0; d < 6; ++d) {
      std::string text;
      for (int i = 0; i < 3000; ++i)  // pages drawn at random, to compress as a real log does
        text += clf_at(d * 12000 + 4 * i + s, "p/" + std::to_string(rng() % 100000), s);
      text_bytes += static_cast<double>(text.size());
      const std::string name = "web" + std::to_string(s) + "." + std::to_string(6 - d);
      paths.push_back(d < 4 ? dir.write(name + ".gz", compress("gzip", text)) : dir.write(name, text));
    }
  }
  const run_result r = run_on_terminal(paths);
  EXPECT_EQ(r.status, 0) << r.err;
  int last = -1;
  size_t percents = 0;
  for (const std::string& l : drawn(r.err)) {
    if (l.find('%') == std::string::npos) continue;
    const int pct = std::stoi(l);
    const double unit = l.find("KiB written") != std::string::npos ? 1024 : 1048576;
    const double written = std::stod(l.substr(l.find('%') + 1)) * unit;
    EXPECT_NEAR(pct, 100 * written / text_bytes, 15) << l;
    EXPECT_GE(pct, last) << l;
    last = pct;
    ++percents;
  }
  EXPECT_GE(percents, 3u);
  EXPECT_GE(last, 95);
}

// Opening many inputs takes a while: the line says so before the merge.
TEST_F(Progress, ShownWhileASlowStartUpOpensTheInputs) {
  std::vector<std::string> paths;
  for (int i = 0; i < 12; ++i) paths.push_back(dir.write("s" + std::to_string(i), sample_log(5, i + 1)));
  const run_result r = run_on_terminal(paths);
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> lines = drawn(r.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.front().starts_with("opening ")) << lines.front();
  EXPECT_TRUE(lines.front().ends_with("/12")) << lines.front();
}

// Pipes alone have no size: the line shows what is known, the bytes
// written and their rate, with no percent and no time left.
TEST_F(Progress, PipesAloneShowBytesAndRate) {
  std::vector<std::string> fifos;
  for (const std::string& log : {a, b}) {  // each fed by a writer of its own
    fifos.push_back(log + ".pipe");
    ASSERT_EQ(mkfifo(fifos.back().c_str(), 0600), 0);
    ASSERT_EQ(std::system(("cat " + log + " > " + fifos.back() + " &").c_str()), 0);
  }
  const run_result r = run_on_terminal(fifos);
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> lines = drawn(r.err);
  ASSERT_FALSE(lines.empty());
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find('%'), std::string::npos) << l;
    EXPECT_EQ(l.find("left"), std::string::npos) << l;
  }
  EXPECT_NE(lines.back().find(" written  "), std::string::npos) << lines.back();
  EXPECT_TRUE(lines.back().ends_with("/s") || lines.back().ends_with("waiting for input"))
      << lines.back();
}

TEST_F(Progress, ErasedBeforeAnErrorMessage) {
  if (!can_compress("xz")) GTEST_SKIP() << "built without xz";
  const std::string packed = compress("xz", sample_log(40000, 2));
  const std::string bad = dir.write("b.xz", packed.substr(0, packed.size() - 100));
  const run_result r = run_on_terminal({a, bad});
  EXPECT_EQ(r.status, 1);
  // The message stands alone on its line (the terminal adds \r to \n).
  const std::string message = "braidlogs: " + bad + ": truncated xz data\r\n";
  const size_t at = r.err.find(message);
  ASSERT_NE(at, std::string::npos) << r.err.substr(0, 300);
  EXPECT_EQ(r.err.substr(at - (sizeof kErase - 1), sizeof kErase - 1), kErase);
  EXPECT_TRUE(r.err.ends_with(kErase) || r.err.ends_with(message));
}

// Waiting on a live input, the line says so; a signal that ends the
// process erases it first, and still ends the process.
TEST_F(Progress, SaysWaitingAndIsErasedBySignals) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string live = dir.file("live" + std::to_string(sig));
    ASSERT_EQ(mkfifo(live.c_str(), 0600), 0);
    int master = -1;
    const pid_t pid = start_on_terminal({a, live}, {.clock_step = 2.0}, dir.file("out"), &master);
    const int w = open(live.c_str(), O_WRONLY);
    const std::string early = clf_at(2, "live", 9);  // before most of a: then b is needed
    ASSERT_EQ(write(w, early.data(), early.size()), static_cast<ssize_t>(early.size()));
    const std::string seen = read_terminal(master, "waiting for input");
    EXPECT_NE(seen.find("waiting for input"), std::string::npos) << seen.substr(0, 300);
    kill(pid, sig);
    const std::string after = seen + read_terminal(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_TRUE(after.ends_with(kErase)) << after.substr(after.size() > 100 ? after.size() - 100 : 0);
    close(w);
    close(master);
  }
}

namespace {

// The progress line acted out alone, on a clock that reads what the script
// sets: a child on a terminal of `t`'s kind runs `script`, which marks
// each moment it acts at by writing \1TIME\2 after it. Returns, for each
// moment, the line drawn then ("" for none).
double scripted_now = 0;
double scripted_clock(void*) { return scripted_now; }
constexpr clock_seam kScripted = {scripted_clock, nullptr};

struct moment {
  double at;
  std::string line;
};

std::vector<moment> act_out(const terminal& t, void (*script)(progress_line&)) {
  temp_dir scratch;
  struct winsize ws = {24, t.cols, 0, 0};
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) throw std::runtime_error("openpty");
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    dup2(slave, 2);
    close(slave);
    const int o = open(scratch.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    setenv("TERM", "xterm", 1);
    progress_line line;
    script(line);
    progress_erase(line);
    _exit(0);
  }
  close(slave);
  const std::string err = read_terminal(master);
  close(master);
  waitpid(pid, nullptr, 0);
  // Each moment's mark ends what was drawn since the one before.
  std::vector<moment> moments;
  for (size_t at = 0, open; (open = err.find('\1', at)) != std::string::npos;) {
    const size_t close = err.find('\2', open);
    const std::vector<std::string> lines = drawn(err.substr(at, open - at));
    moments.push_back({std::stod(err.substr(open + 1, close - open - 1)),
                       lines.empty() ? "" : lines.back()});
    at = close + 1;
  }
  return moments;
}

void mark(double at) {
  std::fprintf(stderr, "\1%.3f\2", at);
  std::fflush(stderr);
}

// A file merged after a start-up of 5 seconds, at an even pace for 20 more.
std::string paced_log;
void paced_merge(progress_line& line) {
  scripted_now = 0;
  progress_begin(line, kScripted, 1, 2);
  for (int k = 1; k <= 5; ++k) {
    scripted_now = k;
    progress_opening(line, 1, 1);
    mark(scripted_now);
  }
  log_input in;
  if (!input_open(in, paced_log.c_str(), nullptr)) _exit(3);
  output out;
  progress_start(line, &in, 1, out);
  const double size = static_cast<double>(input_size(in));
  for (int k = 1; k <= 40; ++k) {
    scripted_now = 5 + 0.5 * k;
    while (static_cast<double>(input_text_read(in)) < size * k / 40 &&
           input_next(in) == input_status::ok)
      out.written += input_line(in).size();
    progress_tick(&line);
    mark(scripted_now);
  }
  input_release(in);
}

// Pipes alone: bytes flow, with a call every 50 ms, then stop for two
// seconds, the merge told of its wait every 0.3 seconds.
void flowing_then_stalled(progress_line& line) {
  scripted_now = 0;
  progress_begin(line, kScripted, 1, 2);
  output out;
  progress_start(line, nullptr, 0, out);
  for (int k = 1; k <= 60; ++k) {
    scripted_now = 0.05 * k;
    out.written += 100000;
    progress_tick(&line);
    mark(scripted_now);
    progress_waiting(line);  // every read of a live pipe may wait
    mark(scripted_now);
  }
  for (int k = 1; k <= 7; ++k) {
    scripted_now = 3 + 0.3 * k;
    progress_waiting(line);
    mark(scripted_now);
  }
}

}  // namespace

// The time left and the rate are of the merge's recent pace: a slow
// start-up does not weigh on them, and after the first tenth of the
// merge the time left is within a quarter of the truth. Percent never runs
// ahead of the text written. The same on a terminal that reports no size
// (0 columns, as many a program makes): it is taken as 80 columns wide.
TEST_F(Progress, TimeLeftFollowsTheRecentPaceAfterASlowStartUp) {
  paced_log = a;
  const double end = 25;
  for (const unsigned short cols : {80, 0}) {
    size_t told = 0;
    for (const moment& m : act_out({.cols = cols}, paced_merge)) {
      if (m.line.empty() || m.at <= 5 + 2) continue;  // start-up, and the first tenth
      EXPECT_LE(m.line.size(), 79u) << m.line;
      const size_t left = m.line.find(" left");
      ASSERT_NE(left, std::string::npos) << m.at << ": " << m.line;
      const size_t colon = m.line.rfind(':', left);
      const size_t from = m.line.rfind(' ', colon) + 1;
      const double secs = std::stod(m.line.substr(from, colon - from)) * 60 +
                          std::stod(m.line.substr(colon + 1, left - colon - 1));
      EXPECT_NEAR(secs, end - m.at, 0.25 * (end - m.at) + 1) << m.at << ": " << m.line;
      EXPECT_LE(std::stod(m.line), 100 * std::min(1.0, (m.at - 5) / 20) + 5) << m.line;
      ++told;
    }
    EXPECT_GE(told, 20u) << cols << " columns";
  }
}

// Redrawn at most about four times a second however often it is told, and
// "waiting for input" only once nothing has come for a second.
TEST_F(Progress, RedrawsAFewTimesASecondAndWaitsOnlyAfterAStall) {
  std::vector<double> drawn_at;
  for (const moment& m : act_out({}, flowing_then_stalled)) {
    if (m.line.empty()) continue;
    EXPECT_TRUE(drawn_at.empty() || m.at - drawn_at.back() >= 0.2) << m.at << ": " << m.line;
    drawn_at.push_back(m.at);
    const bool waiting = m.line.find("waiting for input") != std::string::npos;
    EXPECT_EQ(waiting, m.at >= 4.0) << m.at << ": " << m.line;
  }
  EXPECT_GE(drawn_at.size(), 8u);
}
