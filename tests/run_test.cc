// End-to-end tests: the built program, run as a user runs it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

using namespace std::string_literals;

namespace {

const char* kUsage = "usage: braidlogs LOGFILE1 LOGFILE2 [LOGFILEn ...]\n";

}  // namespace

TEST(Cli, TooFewPathsGiveTheUsageBanner) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("01/Jan/2020:00:00:00", "x"));
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{a}}) {
    const run_result r = run_braidlogs(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.err.rfind(kUsage, 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(strlen(kUsage)).rfind("\nbraidlogs " BRAIDLOGS_VERSION " ", 0), 0u);
    // The usage line, an empty line, the version line and three lines of
    // notice.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 6);
  }
}

TEST(Cli, StartUpFailuresLeaveStandardOutputEmpty) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("01/Jan/2020:00:00:00", "x"));
  const std::string empty = dir.write("empty", "");
  const std::string missing = dir.file("missing");

  run_result r = run_braidlogs_here({a, missing, empty});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "braidlogs: " + missing + ": No such file or directory\n");

  // The empty-input message has no newline after it.
  r = run_braidlogs_here({a, empty, missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "braidlogs: empty input file `" + empty + "'");

  r = run_braidlogs_here({a, dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "braidlogs: " + dir.path + ": Is a directory\n");
}

// There are no options: "-h" and "-" are file names like any other.
TEST(Cli, EveryArgumentIsAPath) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("01/Jan/2020:00:00:00", "x"));
  run_result r = run_braidlogs_here({"-h", a});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: -h: No such file or directory\n");
  r = run_braidlogs_here({a, "-"});
  EXPECT_EQ(r.err, "braidlogs: -: No such file or directory\n");
  EXPECT_EQ(r.out, "");
}

TEST(Cli, MergesInTimeOrder) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("31/Jan/2000:22:00:00", "a1") + clf_line("31/Jan/2000:23:00:00", "a2") +
                                           clf_line("01/Feb/2000:02:00:00", "a3"));
  const std::string b = dir.write("b", clf_line("31/Jan/2000:23:00:00", "b1") + clf_line("01/Feb/2000:01:00:00", "b2"));
  const run_result r = run_braidlogs_here({b, a});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, clf_line("31/Jan/2000:22:00:00", "a1") + clf_line("31/Jan/2000:23:00:00", "b1") +
                       clf_line("31/Jan/2000:23:00:00", "a2") + clf_line("01/Feb/2000:01:00:00", "b2") +
                       clf_line("01/Feb/2000:02:00:00", "a3"));
}

// Lines go out byte for byte: long lines whole, NUL bytes kept, and a last
// line without a newline gets one instead of being glued to the next.
TEST(Cli, LinesGoOutWholeAndExact) {
  temp_dir dir;
  const std::string big = "10.0.0.9 - - [01/Jan/2020:00:00:02 +0000] \"GET /" + std::string(3'000'000, 'q') +
                          " HTTP/1.1\" 200 1\n";
  const std::string nul = "10.0.0.8 \0- - [01/Jan/2020:00:00:03 +0000] \"GET /\0\0 HTTP/1.1\" 200 1\n"s;
  const std::string last = clf_line("01/Jan/2020:00:00:01", "no-newline");
  const std::string a = dir.write("a", big + nul);
  const std::string b = dir.write("b", last.substr(0, last.size() - 1));
  const std::string c = dir.write("c", clf_line("01/Jan/2020:00:00:04", "c"));
  const run_result r = run_braidlogs_here({a, b, c});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, last + big + nul + clf_line("01/Jan/2020:00:00:04", "c"));
}

TEST(Cli, WriteErrorsAreFailures) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("01/Jan/2020:00:00:00", "x"));
  run_result r = run_braidlogs({a, a}, {stdout_to::dev_full});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: write error: No space left on device\n");
  r = run_braidlogs({a, a}, {stdout_to::closed});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: write error: Bad file descriptor\n");
}

// An independent oracle: GNU sort -m with the keys that merge CLF dates, on
// logs in the standard layout whose lines are a little out of order within
// each minute, as real servers write them.
TEST(Cli, AgreesWithSortMerge) {
  if (std::system("sort --version 2>/dev/null | grep -q GNU") != 0) GTEST_SKIP() << "no GNU sort";
  temp_dir dir;
  std::mt19937 rng(5);
  const char* months[] = {"Jan", "Feb", "Dec"};
  std::vector<std::string> paths;
  for (int f = 0; f < 5; ++f) {
    std::string text;
    int t = 0;
    for (int i = 0; i < 3000; ++i) {
      t += static_cast<int>(rng() % 4);
      const int jitter = static_cast<int>(rng() % 5) == 0 ? static_cast<int>(rng() % 50) : 0;
      const int s = t - jitter < 0 ? 0 : t - jitter;
      char when[32];
      std::snprintf(when, sizeof when, "%02d/%s/20%02d:%02d:%02d:%02d", 1 + s / 86400 % 28,
                    months[s / (86400 * 28) % 3], 10 + s / (86400 * 84), s / 3600 % 24,
                    s / 60 % 60, s % 60);
      text += clf_line(when, std::to_string(f) + "/" + std::to_string(i));
    }
    paths.push_back(dir.write("srv" + std::to_string(f), text));
  }
  std::string cmd = "LC_ALL=C sort -m -s -t ' ' -k4.9,4.12n -k4.5,4.7M -k4.2,4.3n -k4.14,4.15n "
                    "-k4.17,4.18n -k4.20,4.21n";
  for (const auto& p : paths) cmd += " " + p;
  cmd += " > " + dir.file("sorted");
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const run_result r = run_braidlogs_here(paths);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == read_file(dir.file("sorted")));
}

// An input that is also standard output is refused before anything is
// written, instead of being read back without end.
TEST(Cli, AnInputThatIsTheOutputIsRefused) {
  temp_dir dir;
  const std::string a = dir.write("a", clf_line("01/Jan/2020:00:00:00", "a"));
  const std::string b = dir.write("b", clf_line("01/Jan/2020:00:00:01", "b"));
  const std::string cmd = "bash -c '" BRAIDLOGS_BIN " " + a + " " + b + " >> " + b + " 2> " +
                          dir.file("err") + "; echo $? > " + dir.file("status") + "'";
  ASSERT_NE(std::system(cmd.c_str()), -1);
  EXPECT_EQ(read_file(dir.file("status")), "1\n");
  EXPECT_EQ(read_file(dir.file("err")), "braidlogs: " + b + ": input file is output file\n");
  EXPECT_EQ(read_file(b), clf_line("01/Jan/2020:00:00:01", "b"));
}
