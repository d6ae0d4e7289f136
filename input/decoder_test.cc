#include "input/decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/source.h"
#include "tests/compress.h"
#include "tests/temp_dir.h"

namespace {

const compression kFormats[] = {compression::gzip, compression::bzip2, compression::xz,
                                compression::zstd};

std::string sample_log(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i)
    s += "10.1.2." + std::to_string(i % 250) + " - - [01/Jun/2021:10:" +
         std::to_string(10 + i / 60 % 50) + ":" + std::to_string(10 + i % 50) +
         " +0000] \"GET /page/" + std::to_string(i * 7919 % 10007) + " HTTP/1.1\" 200 " +
         std::to_string(i * 31 % 5000) + "\n";
  return s;
}

struct read_back {
  std::string data;
  ssize_t last = 0;  // the last read's result: 0 at a clean end, -1 on failure
  std::string problem;
};

// Reads a file through a byte source, `chunk` bytes at a time.
read_back read_source(const std::string& path, size_t chunk) {
  byte_source src;
  read_back r;
  if (!source_open(src, path.c_str())) {
    r.last = -1;
    return r;
  }
  std::vector<char> buf(chunk);
  while ((r.last = source_read(src, buf.data(), chunk)) > 0)
    r.data.append(buf.data(), static_cast<size_t>(r.last));
  if (r.last < 0) r.problem = source_error_text(src);
  source_close(src);
  return r;
}

}  // namespace

TEST(Decoder, RecognisesFormatsByMagicOnly) {
  auto detect = [](std::string_view s) {
    return detect_compression(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  EXPECT_EQ(detect("\x1f\x8b\x08"), compression::gzip);
  EXPECT_EQ(detect("BZh9"), compression::bzip2);
  EXPECT_EQ(detect(std::string_view("\xfd" "7zXZ\0", 6)), compression::xz);
  EXPECT_EQ(detect("\x28\xb5\x2f\xfd"), compression::zstd);
  EXPECT_EQ(detect("\x1f"), compression::none);
  EXPECT_EQ(detect("BZ"), compression::none);
  EXPECT_EQ(detect(std::string_view("\xfd" "7zXZ", 5)), compression::none);
  EXPECT_EQ(detect("10.0.0.1 - -"), compression::none);
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
    // Garbage after a good member is not a member.
    const read_back r = read_source(dir.write("tail", packed + "garbage after"), 4096);
    EXPECT_EQ(r.last, -1) << compression_name(c);
  }
}
