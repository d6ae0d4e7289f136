#include "input/source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/read_source.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

// Only a full signature makes an input compressed: text that merely starts
// like one is text.
TEST(Source, RecognisesFormatsByTheirFullSignature) {
  auto detect = [](std::string_view s) -> std::string {
    const input_format* f =
        sniff_format(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    return f != nullptr ? f->name : "text";
  };
  EXPECT_EQ(detect("\x1f\x8b\x08"), "gzip");
  EXPECT_EQ(detect("BZh91AY&SY"), "bzip2");
  EXPECT_EQ(detect("BZh1\x17\x72\x45\x38\x50\x90"), "bzip2");  // empty stream
  EXPECT_EQ(detect(std::string_view("\xfd" "7zXZ\0", 6)), "xz");
  EXPECT_EQ(detect("\x28\xb5\x2f\xfd"), "zstd");
  EXPECT_EQ(detect("\x50\x2a\x4d\x18"), "zstd");  // skippable frames
  EXPECT_EQ(detect("\x5f\x2a\x4d\x18"), "zstd");
  for (std::string_view text : {"\x1f\x8b", "\x1f\x8b\x09", "BZh9", "BZh9 is a log line",
                                "BZh0AY&SY", "\x60\x2a\x4d\x18", "10.0.0.1 - -"})
    EXPECT_EQ(detect(text), "text") << text;
}

// Each format, one member or several concatenated, read at output sizes
// from one byte up: exactly the original text. File names say nothing.
TEST(Source, DecodesEveryFormatAndEveryMember) {
  temp_dir dir;
  const std::string text = sample_log(3000);
  for (const std::string& c : compressed_formats()) {
    const std::string one = compress(c, text);
    const std::string two = compress(c, text.substr(0, 1000)) + compress(c, text.substr(1000));
    const std::string path1 = dir.write("plain-name-" + c + ".log", one);
    const std::string path2 = dir.write("members-" + c, two);
    for (size_t chunk : {size_t{1}, size_t{13}, size_t{65536}}) {
      if (chunk == 1 && c != "gzip" && c != "zstd") continue;  // slow
      const read_back r1 = read_source(path1, chunk);
      EXPECT_EQ(r1.last, 0) << c << " " << r1.problem;
      EXPECT_TRUE(r1.data == text) << c << " chunk " << chunk;
      const read_back r2 = read_source(path2, chunk);
      EXPECT_EQ(r2.last, 0) << c << " " << r2.problem;
      EXPECT_TRUE(r2.data == text) << c << " members, chunk " << chunk;
    }
  }
}

TEST(Source, TextBehindACompressedNameIsText) {
  temp_dir dir;
  const std::string text = sample_log(10);
  for (const char* name : {"x.gz", "x.bz2", "x.xz", "x.zst"}) {
    const read_back r = read_source(dir.write(name, text), 4096);
    EXPECT_EQ(r.data, text) << name;
  }
}

TEST(Source, EmptyContentReadsAsEmpty) {
  temp_dir dir;
  for (const std::string& c : compressed_formats()) {
    const read_back r = read_source(dir.write("empty", compress(c, "")), 4096);
    EXPECT_EQ(r.last, 0) << c << " " << r.problem;
    EXPECT_EQ(r.data, "") << c;
  }
}

// Cut anywhere after the magic number, a stream is reported truncated; the
// bytes before the cut that could be decoded are the text's own.
TEST(Source, TruncatedDataIsReported) {
  temp_dir dir;
  const std::string text = sample_log(2000);
  for (const std::string& c : compressed_formats()) {
    const std::string packed = compress(c, text);
    for (size_t cut : {packed.size() / 4, packed.size() / 2, packed.size() - 1}) {
      const read_back r = read_source(dir.write("cut", packed.substr(0, cut)), 4096);
      EXPECT_EQ(r.last, -1) << c << " cut " << cut;
      EXPECT_EQ(r.problem, "truncated " + c + " data")
          << " cut " << cut;
      EXPECT_EQ(text.compare(0, r.data.size(), r.data), 0) << c;
    }
  }
}

// Damaged data never passes for good data: it is reported as corrupt or
// truncated, whichever the damage looks like to the decoder.
TEST(Source, CorruptDataIsReported) {
  temp_dir dir;
  const std::string text = sample_log(2000);
  for (const std::string& c : compressed_formats()) {
    const std::string packed = compress(c, text);
    for (size_t at : {size_t{kSniffBytes + 4}, packed.size() / 2, packed.size() - 3}) {
      std::string bad = packed;
      bad[at] = static_cast<char>(bad[at] ^ 0x5a);
      const read_back r = read_source(dir.write("bad", bad), 4096);
      EXPECT_EQ(r.last, -1) << c << " at " << at;
      EXPECT_NE(r.problem.find(c), std::string::npos) << r.problem;
    }
  }
}

// What follows the last member: zeros after gzip are ignored, as gzip does;
// other bytes end the data with everything before them decoded, and are
// flagged for the caller to report.
TEST(Source, BytesAfterTheLastMember) {
  temp_dir dir;
  const std::string text = sample_log(500);
  for (const std::string& c : compressed_formats()) {
    const std::string packed = compress(c, text);
    for (const std::string& tail : {std::string(7, '\0'), std::string("garbage\n")}) {
      const read_back r = read_source(dir.write("tail", packed + tail), 4096, 1);
      EXPECT_EQ(r.last, 0) << c << " " << r.problem;
      EXPECT_TRUE(r.data == text) << c;
      EXPECT_EQ(r.trailing_garbage, tail[0] != '\0' || c != "gzip")
          << c;
    }
  }
}

// A gzip header with every optional field, arriving a byte at a time, in the
// first member and in a later one; a bad header CRC or a reserved flag is
// refused, as gzip refuses it.
TEST(Source, GzipHeaderFieldsHoweverSplit) {
  if (!can_compress("gzip")) GTEST_SKIP() << "built without gzip";
  temp_dir dir;
  const std::string text = sample_log(300);
  const std::string member = gzip_with_all_header_fields(text);
  ASSERT_EQ(member[3] & 0x1e, 0x1e);  // FHCRC, FEXTRA, FNAME, FCOMMENT
  for (size_t raw : {size_t{1}, size_t{3}, kRandomChunks}) {
    const read_back r = read_source(dir.write("fields.gz", member + member), 7, raw);
    EXPECT_EQ(r.last, 0) << r.problem;
    EXPECT_TRUE(r.data == text + text) << "raw " << raw;
  }
  const size_t hcrc = member.find("rotated by the tests") + 21;  // after the comment's NUL
  std::string bad_crc = member, reserved = member;
  bad_crc[hcrc] = static_cast<char>(bad_crc[hcrc] ^ 1);
  reserved[3] = static_cast<char>(reserved[3] | 0x20);
  for (const std::string& bad : {bad_crc, reserved, text.substr(0, 0) + member + reserved}) {
    const read_back r = read_source(dir.write("bad.gz", bad), 4096, 1);
    EXPECT_EQ(r.last, -1);
    EXPECT_EQ(r.problem, "corrupt gzip data");
  }
}

// What the decoder makes before it finds damage goes out, whatever the size
// of the reads: the bytes before an error never depend on the buffers.
TEST(Source, OutputBeforeDamageDoesNotDependOnReadSize) {
  temp_dir dir;
  const std::string text = sample_log(20000);
  for (const std::string& c : compressed_formats()) {
    std::string bad = compress(c, text);
    bad[bad.size() / 2] = static_cast<char>(bad[bad.size() / 2] ^ 0x10);
    const std::string path = dir.write("bad", bad);
    const read_back small = read_source(path, 13), large = read_source(path, size_t{4} << 20);
    EXPECT_EQ(small.last, -1) << c;
    EXPECT_EQ(small.last, large.last) << c;
    EXPECT_EQ(small.problem, large.problem) << c;
    EXPECT_TRUE(small.data == large.data)
        << c << ": " << small.data.size() << " against " << large.data.size();
  }
}
