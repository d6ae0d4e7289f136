#include "input/log_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

using namespace std::string_literals;

namespace {

// All lines of a file as the input hands them out, read with `block`.
std::vector<std::string> lines_of(const std::string& path, size_t block) {
  log_input in;
  EXPECT_TRUE(input_open(in, path.c_str(), nullptr, block));
  std::vector<std::string> lines;
  input_status st;
  while ((st = input_next(in)) == input_status::ok) {
    lines.emplace_back(in.line);
  }
  EXPECT_EQ(st, input_status::dry);
  EXPECT_FALSE(input_active(in));
  input_release(in);
  return lines;
}

}  // namespace

// Lines come out whole whatever the block size: long lines, NUL bytes, empty
// lines and a last line without a newline.
TEST(LogInput, SplitsIntoWholeLinesAtAnyBlockSize) {
  temp_dir dir;
  const std::string long_line = std::string(100000, 'x') + " [10/Oct/2000:13:55:36 -0700]\n";
  const std::vector<std::string> expect = {
      "a [01/Jan/2001:00:00:00 +0000] one\n", "\n", "nul\0inside\0\n"s, long_line,
      "short\n", "last line without newline"};
  std::string content;
  for (const auto& l : expect) content += l;
  const std::string path = dir.write("log", content);
  // The smallest buffer holds a signature.
  for (size_t block : {kSniffBytes, size_t{13}, size_t{64}, size_t{4096}, kInputBlockSize}) {
    EXPECT_EQ(lines_of(path, block), expect) << "block " << block;
  }
}

TEST(LogInput, EmptyFileIsDryAtOnce) {
  temp_dir dir;
  EXPECT_TRUE(lines_of(dir.write("empty", ""), 16).empty());
}

TEST(LogInput, OpenFailuresCarryTheirErrno) {
  temp_dir dir;
  log_input in;
  EXPECT_FALSE(input_open(in, dir.file("missing").c_str(), nullptr));
  EXPECT_STREQ(input_error_text(in), std::strerror(ENOENT));
  EXPECT_FALSE(input_open(in, dir.path.c_str(), nullptr));
  EXPECT_STREQ(input_error_text(in), std::strerror(EISDIR));
}

// The pieces that follow the current line give back the rest of the file
// exactly, the unsplit buffer first.
TEST(LogInput, PiecesGiveBackTheRest) {
  temp_dir dir;
  std::string content;
  for (int i = 0; i < 500; ++i) content += "line " + std::to_string(i) + "\n";
  content += "tail";
  const std::string path = dir.write("log", content);
  log_input in;
  ASSERT_TRUE(input_open(in, path.c_str(), nullptr, 100));
  ASSERT_EQ(input_next(in), input_status::ok);
  std::string got(in.line);
  std::string_view piece;
  input_status st;
  while ((st = input_next_piece(in, &piece)) == input_status::ok) got += piece;
  EXPECT_EQ(st, input_status::dry);
  EXPECT_EQ(got, content);
  input_release(in);
}

namespace {

std::string packed(const std::string& format, const std::string& text) {
  return format == "plain" ? text : compress(format, text);
}

void write_in_place(const std::string& path, const std::string& bytes, int flags) {
  const int fd = ::open(path.c_str(), O_WRONLY | flags);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// A change made to a file while it waits: `same` when the file still holds
// the bytes read of it (then its lines, and any appended, come out whole),
// else it ends with "file truncated" after its first line (before it when
// that line was unconfirmed).
enum class change { longer, shorter, cut, emptied, appended, unlinked, renamed };
struct waiting_change {
  const char* name;
  change what;
  bool same;
};
const waiting_change kWaitingChanges[] = {
    {"rewritten longer", change::longer, false}, {"rewritten shorter", change::shorter, false},
    {"cut in its first 4 KiB", change::cut, false}, {"emptied", change::emptied, false},
    {"appended", change::appended, true},         {"unlinked", change::unlinked, true},
    {"renamed", change::renamed, true},
};
const std::string kAppended = clf_at(86000, "late", 9);

void apply(change c, const std::string& p, const std::string& format) {
  switch (c) {
    case change::longer: return write_in_place(p, packed(format, sample_log(3000, 2)), O_TRUNC);
    case change::shorter: return write_in_place(p, packed(format, sample_log(40, 2)), O_TRUNC);
    case change::cut: ASSERT_EQ(::truncate(p.c_str(), 150), 0); return;
    case change::emptied: ASSERT_EQ(::truncate(p.c_str(), 0), 0); return;
    case change::appended: return write_in_place(p, packed(format, kAppended), O_APPEND);
    case change::unlinked: ASSERT_EQ(::unlink(p.c_str()), 0); return;
    case change::renamed: ASSERT_EQ(::rename(p.c_str(), (p + ".1").c_str()), 0); return;
  }
}

}  // namespace

// A file that waits its turn is read again from its start when its turn
// comes: it must prove it is the same file, decoded here or on the pool.
TEST(LogInput, AWaitingFileChangedBeforeItsTurnIsNeverSpliced) {
  std::vector<std::string> formats = {"plain"};
  if (can_compress("gzip")) formats.push_back("gzip");
  if (can_compress("bzip2")) formats.push_back("bzip2");
  const std::string text = sample_log(1500, 1);  // more than a buffer: it waits
  for (const bool pool : {false, true}) {
    for (const std::string& format : formats) {
      for (const waiting_change& c : kWaitingChanges) {
        SCOPED_TRACE(format + ", " + c.name + (pool ? ", on the pool" : ""));
        temp_dir dir;
        const std::string path = dir.write("access.log", packed(format, text));
        input_set* set = inputs_begin(1, {.threads = 1, .off = !pool});
        ASSERT_NE(set, nullptr);
        log_input in;
        ASSERT_TRUE(input_open(in, path.c_str(), set));
        input_start(in);
        ASSERT_EQ(input_next(in), input_status::ok);
        input_wait_turn(in);
        ASSERT_EQ(in.phase, input_phase::waiting);
        apply(c.what, path, format);
        // As the merge does: an unconfirmed line is written only once confirmed.
        std::string got;
        input_status st = input_status::failed;
        if (!input_unconfirmed(in) || input_confirm(in)) {
          got = in.line;
          while ((st = input_next(in)) == input_status::ok) got += in.line;
        }
        if (c.same) {
          EXPECT_EQ(st, input_status::dry) << input_error_text(in);
          EXPECT_EQ(got, text + (c.what == change::appended ? kAppended : ""));
        } else {
          EXPECT_EQ(st, input_status::failed);
          EXPECT_STREQ(input_error_text(in), "file truncated");
          // An unconfirmed first line (a format that holds text until its
          // check) is not written.
          EXPECT_EQ(got, format != "plain" ? "" : text.substr(0, text.find('\n') + 1));
        }
        input_release(in);
        inputs_end(set);
      }
    }
  }
}

// A file cut in place past what was read of it, while it waits or ahead
// of its reader, ends where it was cut: its whole lines before the cut,
// then "file truncated", never the torn line as if it were the last. It
// could not have ended before the size it had when it was opened.
TEST(LogInput, AFileCutPastWhatWasReadEndsAtItsLastWholeLine) {
  const std::string text = sample_log(3000, 1);
  std::vector<std::string> formats = {"plain"};
  if (can_compress("gzip")) formats.push_back("gzip");
  for (const std::string& format : formats) {
    const std::string bytes = packed(format, text);
    for (const bool waiting : {true, false}) {
      for (const size_t cut : {size_t{5000}, bytes.size() / 2 + 17, bytes.size() - 1}) {
        SCOPED_TRACE(format + ", cut at " + std::to_string(cut) +
                     (waiting ? ", waiting" : ", being read"));
        temp_dir dir;
        const std::string path = dir.write("access.log", bytes);
        log_input in;
        ASSERT_TRUE(input_open(in, path.c_str(), nullptr));
        input_start(in);
        ASSERT_EQ(input_next(in), input_status::ok);
        std::string got(in.line);
        if (waiting) input_wait_turn(in);
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
        input_status st = input_status::failed;
        if (!input_unconfirmed(in) || input_confirm(in)) {
          while ((st = input_next(in)) == input_status::ok) got += in.line;
        } else {
          got.clear();
        }
        EXPECT_EQ(st, input_status::failed);
        EXPECT_STREQ(input_error_text(in), "file truncated");
        if (format == "plain") {
          EXPECT_EQ(got, text.substr(0, text.rfind('\n', cut - 1) + 1));
        } else {
          EXPECT_EQ(text.compare(0, got.size(), got), 0);
          EXPECT_TRUE(got.empty() || got.back() == '\n');
        }
      }
    }
  }
}

// A file that reports a size of 0 yet holds bytes (/proc) is read to its
// end, not taken for a file cut while it was read.
TEST(LogInput, AFileThatSaysSizeZeroIsReadToItsEnd) {
  log_input in;
  ASSERT_TRUE(input_open(in, "/proc/self/mountinfo", nullptr));
  std::string got;
  input_status st;
  while ((st = input_next(in)) == input_status::ok) got += in.line;
  EXPECT_EQ(st, input_status::dry) << input_error_text(in);
  EXPECT_FALSE(got.empty());
  input_release(in);
}
