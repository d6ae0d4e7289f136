#include "input/decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/read_source.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

const compression kFormats[] = {compression::gzip, compression::bzip2, compression::xz,
                                compression::zstd};

}  // namespace

// Only a full signature makes an input compressed: text that merely starts
// like one is text.
TEST(Decoder, RecognisesFormatsByTheirFullSignature) {
  auto detect = [](std::string_view s) {
    return detect_compression(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  EXPECT_EQ(detect("\x1f\x8b\x08"), compression::gzip);
  EXPECT_EQ(detect("BZh91AY&SY"), compression::bzip2);
  EXPECT_EQ(detect("BZh1\x17\x72\x45\x38\x50\x90"), compression::bzip2);  // empty stream
  EXPECT_EQ(detect(std::string_view("\xfd" "7zXZ\0", 6)), compression::xz);
  EXPECT_EQ(detect("\x28\xb5\x2f\xfd"), compression::zstd);
  EXPECT_EQ(detect("\x50\x2a\x4d\x18"), compression::zstd);  // skippable frames
  EXPECT_EQ(detect("\x5f\x2a\x4d\x18"), compression::zstd);
  for (std::string_view text : {"\x1f\x8b", "\x1f\x8b\x09", "BZh9", "BZh9 is a log line",
                                "BZh0AY&SY", "\x60\x2a\x4d\x18", "10.0.0.1 - -"})
    EXPECT_EQ(detect(text), compression::none) << text;
}

// Each format, one member or several concatenated, read at output sizes
// from one byte up: exactly the original text. File names say nothing.
TEST(Decoder, DecodesEveryFormatAndEveryMember) {
  temp_dir dir;
  const std::string text = sample_log(3000);
  for (compression c : kFormats) {
    if (!can_compress(c)) continue;
    const std::string one = compress(c, text);
    const std::string two = compress(c, text.substr(0, 1000)) + compress(c, text.substr(1000));
    const std::string path1 = dir.write(std::string("plain-name-") + compression_name(c) + ".log", one);
    const std::string path2 = dir.write(std::string("members-") + compression_name(c), two);
    for (size_t chunk : {size_t{1}, size_t{13}, size_t{65536}}) {
      if (chunk == 1 && c != compression::gzip && c != compression::zstd) continue;  // slow
      const read_back r1 = read_source(path1, chunk);
      EXPECT_EQ(r1.last, 0) << compression_name(c) << " " << r1.problem;
      EXPECT_TRUE(r1.data == text) << compression_name(c) << " chunk " << chunk;
      const read_back r2 = read_source(path2, chunk);
      EXPECT_EQ(r2.last, 0) << compression_name(c) << " " << r2.problem;
      EXPECT_TRUE(r2.data == text) << compression_name(c) << " members, chunk " << chunk;
    }
  }
}

TEST(Decoder, TextBehindACompressedNameIsText) {
  temp_dir dir;
  const std::string text = sample_log(10);
  for (const char* name : {"x.gz", "x.bz2", "x.xz", "x.zst"}) {
    const read_back r = read_source(dir.write(name, text), 4096);
    EXPECT_EQ(r.data, text) << name;
  }
}

TEST(Decoder, EmptyContentReadsAsEmpty) {
  temp_dir dir;
  for (compression c : kFormats) {
    if (!can_compress(c)) continue;
    const read_back r = read_source(dir.write("empty", compress(c, "")), 4096);
    EXPECT_EQ(r.last, 0) << compression_name(c) << " " << r.problem;
    EXPECT_EQ(r.data, "") << compression_name(c);
  }
}

// Cut anywhere after the magic number, a stream is reported truncated; the
// bytes before the cut that could be decoded are the text's own.
TEST(Decoder, TruncatedDataIsReported) {
  temp_dir dir;
  const std::string text = sample_log(2000);
  for (compression c : kFormats) {
    if (!can_compress(c)) continue;
    const std::string packed = compress(c, text);
    for (size_t cut : {packed.size() / 4, packed.size() / 2, packed.size() - 1}) {
      const read_back r = read_source(dir.write("cut", packed.substr(0, cut)), 4096);
      EXPECT_EQ(r.last, -1) << compression_name(c) << " cut " << cut;
      EXPECT_EQ(r.problem, std::string("truncated ") + compression_name(c) + " data")
          << " cut " << cut;
      EXPECT_EQ(text.compare(0, r.data.size(), r.data), 0) << compression_name(c);
    }
  }
}

// Damaged data never passes for good data: it is reported as corrupt or
// truncated, whichever the damage looks like to the decoder.
TEST(Decoder, CorruptDataIsReported) {
  temp_dir dir;
  const std::string text = sample_log(2000);
  for (compression c : kFormats) {
    if (!can_compress(c)) continue;
    const std::string packed = compress(c, text);
    for (size_t at : {size_t{kMagicBytes + 4}, packed.size() / 2, packed.size() - 3}) {
      std::string bad = packed;
      bad[at] = static_cast<char>(bad[at] ^ 0x5a);
      const read_back r = read_source(dir.write("bad", bad), 4096);
      EXPECT_EQ(r.last, -1) << compression_name(c) << " at " << at;
      EXPECT_NE(r.problem.find(compression_name(c)), std::string::npos) << r.problem;
    }
  }
}

// What follows the last member: zeros after gzip are ignored, as gzip does;
// other bytes end the data with everything before them decoded, and are
// flagged for the caller to report.
TEST(Decoder, BytesAfterTheLastMember) {
  temp_dir dir;
  const std::string text = sample_log(500);
  for (compression c : kFormats) {
    if (!can_compress(c)) continue;
    const std::string packed = compress(c, text);
    for (const std::string& tail : {std::string(7, '\0'), std::string("garbage\n")}) {
      const read_back r = read_source(dir.write("tail", packed + tail), 4096, 1);
      EXPECT_EQ(r.last, 0) << compression_name(c) << " " << r.problem;
      EXPECT_TRUE(r.data == text) << compression_name(c);
      EXPECT_EQ(r.trailing_garbage, tail[0] != '\0' || c != compression::gzip)
          << compression_name(c);
    }
  }
}

// A gzip header with every optional field, arriving a byte at a time, in the
// first member and in a later one; a bad header CRC or a reserved flag is
// refused, as gzip refuses it.
TEST(Decoder, GzipHeaderFieldsHoweverSplit) {
  if (!can_compress(compression::gzip)) GTEST_SKIP() << "built without gzip";
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
TEST(Decoder, OutputBeforeDamageDoesNotDependOnReadSize) {
  temp_dir dir;
  const std::string text = sample_log(20000);
  for (compression c : kFormats) {
    if (!can_compress(c)) continue;
    std::string bad = compress(c, text);
    bad[bad.size() / 2] = static_cast<char>(bad[bad.size() / 2] ^ 0x10);
    const std::string path = dir.write("bad", bad);
    const read_back small = read_source(path, 13), large = read_source(path, size_t{4} << 20);
    EXPECT_EQ(small.last, -1) << compression_name(c);
    EXPECT_EQ(small.last, large.last) << compression_name(c);
    EXPECT_EQ(small.problem, large.problem) << compression_name(c);
    EXPECT_TRUE(small.data == large.data)
        << compression_name(c) << ": " << small.data.size() << " against " << large.data.size();
  }
}
