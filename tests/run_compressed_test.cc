// End-to-end tests of compressed inputs.
#include <gtest/gtest.h>

#include <string>

#include "tests/compress.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

// A plain log and one of each compressed format, merged: the same bytes as
// merging the plain texts.
TEST(CompressedCli, MixesPlainAndCompressedInputs) {
  temp_dir dir;
  std::vector<std::string> plain_paths = {dir.write("p0", sample_log(400, 0))};
  std::vector<std::string> mixed_paths = plain_paths;
  int n = 1;
  for (const std::string& c : compressed_formats()) {
    const std::string id = std::to_string(n);
    const std::string text = sample_log(400, n);
    plain_paths.push_back(dir.write(id, text));
    mixed_paths.push_back(dir.write(id + ".log", compress(c, text)));
    ++n;
  }
  const run_result want = run_braidlogs_here(plain_paths);
  const run_result got = run_braidlogs_here(mixed_paths);
  EXPECT_EQ(want.status, 0);
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_TRUE(got.out == want.out);
}

// Inputs refused at start-up, with nothing written: compressed data with
// no line (with garbage after it, the garbage is named), and formats that
// the tools read but braidlogs does not.
TEST(CompressedCli, InputsRefusedAtStartUp) {
  temp_dir dir;
  const std::string a = dir.write("a", sample_log(3, 0));
  const std::string gz = can_compress("gzip") ? compress("gzip", "") : "";
  const struct {
    std::string bytes, message;  // message: after "braidlogs: PATH: "
  } kCases[] = {
      {gz, ""},  // the empty-input message
      {gz + "junk", "trailing garbage after compressed data\n"},
      {"\x1f\x9d\x90" + sample_log(3, 1), "compress (.Z) data, which braidlogs does not read; decompress it first (gzip -dc)\n"},
      {"PK\x03\x04\x14" + sample_log(3, 1), "a zip archive, which braidlogs does not read; extract the log first (unzip -p)\n"},
  };
  for (const auto& c : kCases) {
    if (c.bytes.empty() || (c.bytes[0] == '\x1f' && c.bytes[1] == '\x8b' && gz.empty())) continue;
    const std::string e = dir.write("e", c.bytes);
    const run_result r = run_braidlogs_here({a, e});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.message.empty() ? "braidlogs: empty input file `" + e + "'"
                                       : "braidlogs: " + e + ": " + c.message);
  }
}

// Damage found at start-up leaves standard output empty; damage found in
// the middle of the merge ends it with status 1 and the input named.
TEST(CompressedCli, DamagedInputsFail) {
  if (!can_compress("zstd") || !can_compress("xz"))
    GTEST_SKIP() << "built without zstd or xz";
  temp_dir dir;
  const std::string a = dir.write("a", sample_log(50, 0));
  const std::string head = compress("zstd", sample_log(50, 1));
  const std::string cut = dir.write("cut.zst", head.substr(0, 12));
  run_result r = run_braidlogs_here({a, cut});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "braidlogs: " + cut + ": truncated zstd data\n");
  // Start-up opens inputs a few ahead of the one whose first line it
  // reads; the failure told is still the first in command-line order.
  const std::string missing = dir.file("missing");
  r = run_braidlogs_here({cut, missing});
  EXPECT_EQ(r.err, "braidlogs: " + cut + ": truncated zstd data\n");
  r = run_braidlogs_here({a, missing, cut});
  EXPECT_EQ(r.err, "braidlogs: " + missing + ": No such file or directory\n");

  // Big enough that the damage lies far past the first block read.
  const std::string big = compress("xz", sample_log(20000, 2));
  const std::string late = dir.write("late.xz", big.substr(0, big.size() - 40));
  r = run_braidlogs_here({a, late});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: " + late + ": truncated xz data\n");
  EXPECT_NE(r.out, "");
  EXPECT_EQ(r.out.back(), '\n');  // whole lines only
}

TEST(CompressedCli, ProcessSubstitutionWorks) {
  if (!can_compress("gzip")) GTEST_SKIP() << "built without gzip";
  temp_dir dir;
  const std::string a = dir.write("a", sample_log(100, 0));
  const std::string b = dir.write("b.gz", compress("gzip", sample_log(100, 1)));
  const std::string out = dir.file("out");
  const std::string cmd = "bash -c '" BRAIDLOGS_BIN " " + a + " <(cat " + b + ") > " + out + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const run_result direct = run_braidlogs({a, b});
  EXPECT_EQ(read_file(out), direct.out);
  EXPECT_EQ(direct.out.size(), 2 * sample_log(100, 0).size());
}

// Garbage after the last whole member loses nothing: every line of every
// input is merged, and only then is the input named, once, with status 1.
// Text that merely starts like a signature is text.
TEST(CompressedCli, TrailingGarbageIsReportedAfterTheMerge) {
  if (!can_compress("gzip") || !can_compress("bzip2"))
    GTEST_SKIP() << "built without gzip or bzip2";
  temp_dir dir;
  const std::string a = dir.write("a", sample_log(3000, 0));
  const std::string b = dir.write("b.gz", compress("gzip", sample_log(3000, 1)) + "junk");
  const std::string c = dir.write("c.bz2", compress("bzip2", sample_log(3000, 2)) + "junk");
  const std::string d = dir.write("d", "BZh91AY - - [02/Jul/2022:08:00:00 +0000] \"GET /\" 200 1\n");
  const std::string plain_b = dir.write("pb", sample_log(3000, 1));
  const std::string plain_c = dir.write("pc", sample_log(3000, 2));
  const run_result want = run_braidlogs_here({a, plain_b, plain_c, d});
  const run_result got = run_braidlogs_here({a, b, c, d});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.err, "braidlogs: " + b + ": trailing garbage after compressed data\n"
                     "braidlogs: " + c + ": trailing garbage after compressed data\n");
  EXPECT_TRUE(got.out == want.out);
  EXPECT_NE(want.out.find("BZh91AY"), std::string::npos);
}
