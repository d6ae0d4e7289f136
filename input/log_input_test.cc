#include "input/log_input.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

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
