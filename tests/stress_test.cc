// Stress: many inputs, huge lines, binary input, growing files, early
// readers' exit. Sized to run in seconds.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/fake_seams.h"
#include "tests/reference_merge.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

// More inputs than the soft descriptor limit: it is lifted to the hard
// limit and every line comes out in order. The last named comes first.
TEST(Stress, MoreInputsThanTheSoftDescriptorLimit) {
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  for (const auto& [inputs, soft] : {std::pair{300, 64}, {10000, 1024}}) {
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < rlim_t(inputs) + 100) {
      std::printf("skipped: hard descriptor limit %ld is below %d\n", long(rl.rlim_max), inputs + 100);
      continue;
    }
    temp_dir dir;
    std::vector<std::string> paths;
    std::string expect;
    for (int i = 0; i < inputs; ++i) {
      paths.push_back(dir.write(std::to_string(i), clf_at(i, std::to_string(i))));
      expect += clf_at(i, std::to_string(i));
    }
    run_options opt;
    opt.soft_fd_limit = soft;
    std::reverse(paths.begin(), paths.end());
    const run_result r = run_braidlogs(paths, opt);
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 200);
    EXPECT_TRUE(r.out == expect) << inputs;
  }
}

// A 100 MB line without a newline, between ordinary lines of another input.
TEST(Stress, AHundredMegabyteLineComesOutWhole) {
  temp_dir dir;
  std::string huge = "10.0.0.1 - - [04/Apr/2024:00:00:05 +0000] \"GET /";
  huge.append(100u << 20, 'h');
  const std::string a = dir.write("a", huge);
  const std::string b = dir.write("b", clf_at(1, "b1") + clf_at(9, "b9"));
  const run_result r = run_braidlogs_here({a, b});
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.size(), huge.size() + 1 + clf_at(1, "b1").size() + clf_at(9, "b9").size());
  EXPECT_TRUE(r.out.compare(0, clf_at(1, "b1").size(), clf_at(1, "b1")) == 0);
  EXPECT_TRUE(r.out.compare(clf_at(1, "b1").size(), huge.size(), huge) == 0);
  EXPECT_EQ(r.out.substr(clf_at(1, "b1").size() + huge.size()), "\n" + clf_at(9, "b9"));
}

// Pure random bytes, merged with a log: exactly the reference merge.
TEST(Stress, RandomBinaryInput) {
  temp_dir dir;
  std::mt19937 rng(99);
  for (int trial = 0; trial < 5; ++trial) {
    std::string noise(1 << 20, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    // Some brackets with date-like bytes, so that some keys are real.
    for (int i = 0; i < 200; ++i) noise.replace(rng() % (noise.size() - 40), 22, "[07/Jul/2024:12:00:00 ");
    std::string log;
    for (int i = 0; i < 3000; ++i) log += clf_at(i * 20, std::to_string(i));
    const std::string p = dir.write("noise", noise), q = dir.write("log", log);
    const run_result r = run_braidlogs_here({p, q});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == reference_merge({noise, log}));
  }
}

// A file that grows while it is merged. The growth is driven from the read
// seam: the first time a read finds the end of the file, the test appends
// more lines and lets the read go on, so the reader meets exactly the case a
// live log gives it, on every run, whatever the machine is doing.
namespace growing {
std::string path, more;

bool grow() {
  const int w = open(path.c_str(), O_WRONLY | O_APPEND);
  if (w < 0 || write(w, more.data(), more.size()) != static_cast<ssize_t>(more.size())) _exit(99);
  close(w);
  return true;
}

ino_t inode = 0;
}  // namespace growing

// Grown from 100,000 lines, and from one line, whose file gets a buffer of
// its own small size that must grow for a line longer than it.
TEST(Stress, AGrowingFile) {
  for (const int lines : {100000, 1}) {
    temp_dir dir;
    std::string first;
    for (int i = 0; i < lines; ++i) first += clf_at(i % 3600, "first" + std::to_string(i));
    const std::string tail = "10.0.0.2 - - [31/Dec/2099:00:00:00 +0000] last\n";
    growing::path = dir.write("a", first);
    growing::inode = inode_of(growing::path);
    growing::more = clf_at(3599, std::string(20000, 'x'));
    for (int i = 0; i < 100000; ++i) growing::more += clf_at(3599, "more" + std::to_string(i));
    const std::string b = dir.write("b", tail);
    fake_io io({.read_inode = growing::inode, .at_end = growing::grow});
    run_seams seams;
    seams.reads = fake_reads(io);
    const run_result r = run_braidlogs_here({growing::path, b}, seams);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == first + growing::more + tail) << lines;
  }
}

// A reader that leaves early ends the merge at once: through SIGPIPE, or,
// where the caller left SIGPIPE ignored, with the write error.
TEST(Stress, HeadEndsItAtOnce) {
  temp_dir dir;
  std::string text;
  for (int i = 0; i < 400000; ++i) text += clf_at(i / 10, std::to_string(i));
  const std::string a = dir.write("a", text), b = dir.write("b", text);
  const std::string out = dir.file("out"), err = dir.file("err");
  const std::string cmd = "bash -c '" BRAIDLOGS_BIN " " + a + " " + b + " 2> " + err +
                          " | head -1 > " + out + "; echo ${PIPESTATUS[0]} >> " + out + "'";
  ASSERT_NE(std::system(cmd.c_str()), -1);
  const std::string got = read_file(out);
  ASSERT_EQ(got.rfind(clf_at(0, "0"), 0), 0u) << got;
  const std::string status = got.substr(clf_at(0, "0").size());
  if (status == "141\n") {  // 128 + SIGPIPE: killed, not run to the end
    EXPECT_EQ(read_file(err), "");
  } else {
    EXPECT_EQ(status, "1\n");
    EXPECT_EQ(read_file(err), "braidlogs: write error: Broken pipe\n");
  }
}
