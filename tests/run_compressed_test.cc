// End-to-end tests of compressed inputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/compress.h"
#include "tests/run_tool.h"
#include "tests/temp_dir.h"

namespace {

std::string log_of(const char* host, int from, int count) {
  std::string s;
  for (int i = from; i < from + count; ++i) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "%s - - [02/Jul/2022:08:%02d:%02d +0000] \"GET /i/%d HTTP/1.1\" 200 %d\n", host,
                  i / 60 % 60, i % 60, i, i * 3);
    s += line;
  }
  return s;
}

}  // namespace

// A plain log and one of each compressed format, merged: the same bytes as
// merging the plain texts.
TEST(CompressedCli, MixesPlainAndCompressedInputs) {
  temp_dir dir;
  std::vector<std::string> plain_paths = {dir.write("p0", log_of("h0", 0, 400))};
  std::vector<std::string> mixed_paths = plain_paths;
  int n = 1;
  for (compression c : {compression::gzip, compression::bzip2, compression::xz, compression::zstd}) {
    if (!can_compress(c)) continue;
    const std::string id = std::to_string(n);
    const std::string text = log_of(id.c_str(), n, 400);
    plain_paths.push_back(dir.write(id, text));
    mixed_paths.push_back(dir.write(id + ".log", compress(c, text)));
    ++n;
  }
  const run_result want = run_braidlogs(plain_paths);
  const run_result got = run_braidlogs(mixed_paths);
  EXPECT_EQ(want.status, 0);
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_TRUE(got.out == want.out);
}

TEST(CompressedCli, EmptyCompressedContentIsAnEmptyInput) {
  if (!can_compress(compression::gzip)) GTEST_SKIP() << "built without gzip";
  temp_dir dir;
  const std::string a = dir.write("a", log_of("a", 0, 3));
  const std::string e = dir.write("e.gz", compress(compression::gzip, ""));
  const run_result r = run_braidlogs({a, e});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "braidlogs: empty input file `" + e + "'");
}

// Damage found at start-up leaves standard output empty; damage found in
// the middle of the merge ends it with status 1 and the input named.
TEST(CompressedCli, DamagedInputsFail) {
  if (!can_compress(compression::zstd) || !can_compress(compression::xz))
    GTEST_SKIP() << "built without zstd or xz";
  temp_dir dir;
  const std::string a = dir.write("a", log_of("a", 0, 50));
  const std::string head = compress(compression::zstd, log_of("b", 0, 50));
  const std::string cut = dir.write("cut.zst", head.substr(0, 12));
  run_result r = run_braidlogs({a, cut});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "braidlogs: " + cut + ": truncated zstd data\n");

  // Big enough that the damage lies far past the first block read.
  const std::string big = compress(compression::xz, log_of("c", 0, 20000));
  const std::string late = dir.write("late.xz", big.substr(0, big.size() - 40));
  r = run_braidlogs({a, late});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: " + late + ": truncated xz data\n");
  EXPECT_NE(r.out, "");
  EXPECT_EQ(r.out.back(), '\n');  // whole lines only
}

TEST(CompressedCli, ProcessSubstitutionWorks) {
  if (!can_compress(compression::gzip)) GTEST_SKIP() << "built without gzip";
  temp_dir dir;
  const std::string a = dir.write("a", log_of("a", 0, 100));
  const std::string b = dir.write("b.gz", compress(compression::gzip, log_of("b", 0, 100)));
  const std::string out = dir.file("out");
  const std::string cmd = "bash -c '" BRAIDLOGS_BIN " " + a + " <(cat " + b + ") > " + out + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const run_result direct = run_braidlogs({a, b});
  EXPECT_EQ(read_file(out), direct.out);
  EXPECT_EQ(direct.out.size(), 2 * log_of("a", 0, 100).size());
}

// Garbage after the last whole member loses nothing: every line of every
// input is merged, and only then is the input named, once, with status 1.
// Text that merely starts like a signature is text.
TEST(CompressedCli, TrailingGarbageIsReportedAfterTheMerge) {
  if (!can_compress(compression::gzip) || !can_compress(compression::bzip2))
    GTEST_SKIP() << "built without gzip or bzip2";
  temp_dir dir;
  const std::string a = dir.write("a", log_of("a", 0, 3000));
  const std::string b = dir.write("b.gz", compress(compression::gzip, log_of("b", 1, 3000)) + "junk");
  const std::string c = dir.write("c.bz2", compress(compression::bzip2, log_of("c", 2, 3000)) + "junk");
  const std::string d = dir.write("d", "BZh91AY - - [02/Jul/2022:08:00:00 +0000] \"GET /\" 200 1\n");
  const std::string plain_b = dir.write("pb", log_of("b", 1, 3000));
  const std::string plain_c = dir.write("pc", log_of("c", 2, 3000));
  const run_result want = run_braidlogs({a, plain_b, plain_c, d});
  const run_result got = run_braidlogs({a, b, c, d});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.err, "braidlogs: " + b + ": trailing garbage after compressed data\n"
                     "braidlogs: " + c + ": trailing garbage after compressed data\n");
  EXPECT_TRUE(got.out == want.out);
  EXPECT_NE(want.out.find("BZh91AY"), std::string::npos);
}
