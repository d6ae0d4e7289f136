// Decoding ahead on threads changes nothing a user sees: with tiny blocks
// (so that block ends fall everywhere), one thread or several, the bytes,
// the messages and the status are those of decoding in the merge thread,
// also when several inputs are damaged and when the output fails.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

// The ways to run: in the merge thread, and ahead with tiny blocks.
const decode_plan kDirect = {0, 0, true};
const decode_plan kAhead1Thread = {1, 4096, false, true};
const decode_plan kAhead3Threads = {3, 777, false, false};

void full_output() {
  const int fd = open("/dev/full", O_WRONLY);
  dup2(fd, 1);
  close(fd);
}

// The built formats, and plain text, taking turns.
std::string format_of(int i) {
  const std::vector<std::string> formats = compressed_formats();
  return formats.empty() ? std::string() : formats[static_cast<size_t>(i) % formats.size()];
}

void expect_same_either_way(const std::vector<std::string>& paths, int status) {
  const run_result want = run_braidlogs_in_child(paths, nullptr, kDirect);
  EXPECT_EQ(want.status, status) << want.err;
  for (const decode_plan& how : {kAhead1Thread, kAhead3Threads}) {
    const run_result got = run_braidlogs_in_child(paths, nullptr, how);
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.err, want.err);
    EXPECT_TRUE(got.out == want.out) << got.out.size() << " bytes against " << want.out.size();
  }
}

}  // namespace

// Two sets of inputs at once in one process, each with its own pool (one
// thread with tiny blocks, three with odd ones), read every input, one of
// them damaged, to the bytes and the fault of reading it in this thread.
TEST(DecodeAhead, SetsInOneProcessGiveTheBytesOfDecodingHere) {
  temp_dir dir;
  std::vector<std::string> paths = {dir.write("plain", sample_log(2000, 0))};
  for (int i = 1; i <= 12 && !format_of(i).empty(); ++i)
    paths.push_back(dir.write(std::to_string(i), compress(format_of(i), sample_log(2000, i))));
  std::string bad = read_file(paths.back());
  paths.push_back(dir.write("cut", bad.substr(0, bad.size() / 2)));
  const size_t n = paths.size();
  input_set* sets[] = {nullptr, inputs_begin(n, kAhead1Thread), inputs_begin(n, kAhead3Threads)};
  std::vector<log_input> in(3 * n);
  std::vector<std::string> got(3 * n);
  for (size_t k = 0; k < in.size(); ++k) {
    ASSERT_TRUE(input_open(in[k], paths[k % n].c_str(), sets[k / n]));
    input_start(in[k]);
  }
  for (bool more = true; more;) {  // a line of each in turn: every pool busy at once
    more = false;
    for (size_t k = 0; k < in.size(); ++k) {
      if (!input_active(in[k]) || input_next(in[k]) != input_status::ok) continue;
      got[k] += in[k].line;
      more = true;
    }
  }
  for (size_t k = n; k < in.size(); ++k) {
    EXPECT_TRUE(got[k] == got[k % n]) << paths[k % n] << " on set " << k / n;
    EXPECT_STREQ(input_error_text(in[k]), input_error_text(in[k % n])) << paths[k % n];
  }
  EXPECT_STRNE(input_error_text(in[n - 1]), input_error_text(in[0]));  // the cut one failed
  for (log_input& i : in) input_release(i);
  inputs_end(sets[1]);
  inputs_end(sets[2]);
}

// Damage in several inputs at once: the one the merge reaches first is
// reported, with the lines before it written and nothing after it; garbage
// after whole members is reported at the end.
TEST(DecodeAhead, ErrorsInSeveralInputsAreReportedInMergeOrder) {
  temp_dir dir;
  std::vector<std::string> paths = {dir.write("plain", sample_log(30000, 0))};
  int n = 0;
  for (const std::string& c : compressed_formats()) {
    // Large enough that every damage lies many blocks into the data.
    std::string packed = compress(c, sample_log(30000, ++n));
    if (n == 1) packed += "trailing garbage";
    if (n == 2) packed.resize(packed.size() * 9 / 10);  // cut late
    if (n == 3) packed[packed.size() / 2] ^= 0x10;      // damaged in the middle
    if (n == 4) packed.resize(packed.size() * 2 / 3);   // cut earlier
    paths.push_back(dir.write("bad" + std::to_string(n), packed));
  }
  expect_same_either_way(paths, 1);
  expect_same_either_way({paths[0], paths[1]}, 1);  // garbage alone: at the end
}

// A failing output stops the merge and the decoding threads; nothing hangs.
TEST(DecodeAhead, AFailingOutputStopsEverything) {
  temp_dir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 6 && !format_of(i).empty(); ++i)
    paths.push_back(dir.write(std::to_string(i), compress(format_of(i), sample_log(20000, i))));
  const run_result r = run_braidlogs_in_child(paths, full_output, kAhead3Threads);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: write error: No space left on device\n");
}
