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

// Each format, one member or several concatenated (but .lzma, which has
// one stream only), read at output sizes from one byte up: exactly the
// original text. File names say nothing.
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
      if (c == "lzma") continue;
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

// What follows the last member, as each format's tool takes it: zeros
// after gzip are ignored; zeros not in fours after xz, and anything after
// .lzma, are corrupt data; other bytes end the data with everything before
// them decoded, and are flagged for the caller to report.
TEST(Source, BytesAfterTheLastMember) {
  temp_dir dir;
  const std::string text = sample_log(500);
  for (const std::string& c : compressed_formats()) {
    const std::string packed = compress(c, text);
    for (const std::string& tail : {std::string(7, '\0'), std::string("garbage\n")}) {
      const bool zeros = tail[0] == '\0';
      const bool corrupt = c == "lzma" || (c == "xz" && zeros);
      const read_back r = read_source(dir.write("tail", packed + tail), 4096, 1);
      EXPECT_EQ(r.last, corrupt ? -1 : 0) << c << " " << r.problem;
      EXPECT_EQ(r.problem, corrupt ? "corrupt " + c + " data" : "") << c;
      EXPECT_TRUE(r.data == text) << c;
      EXPECT_EQ(r.trailing_garbage, !corrupt && !(zeros && c == "gzip")) << c;
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

// Damage named as the format's own tool names it: three zero bytes between
// two xz streams are corrupt padding (xz -dc), and a zstd frame made with a
// dictionary needs it (zstd -dc: "Dictionary mismatch").
TEST(Source, DamageIsNamedAsTheToolNamesIt) {
  temp_dir dir;
  const std::string text = sample_log(50);
  struct {
    const char* format;
    std::string bytes, problem, before;  // before: the text read first
  } cases[] = {
      {"xz", "", "corrupt xz data", text},
      // A frame that names dictionary 7, holding "hello" as one raw block.
      {"zstd", std::string("\x28\xb5\x2f\xfd\x21\x07\x05\x29\x00\x00hello", 15),
       "zstd data needs a dictionary", ""},
  };
  for (auto& c : cases) {
    if (!can_compress(c.format)) continue;
    if (c.bytes.empty()) c.bytes = compress(c.format, text) + std::string(3, '\0') + compress(c.format, text);
    const read_back r = read_source(dir.write("bad", c.bytes), 4096);
    EXPECT_EQ(r.last, -1) << c.format;
    EXPECT_EQ(r.problem, c.problem);
    EXPECT_TRUE(r.data == c.before) << c.format;
  }
}

namespace {

// The offset of the k-th block's header in one zstd or lz4 frame, as the
// frame formats lay them out (RFC 8878; the lz4 frame format).
size_t block_header(const std::string& format, const std::string& f, int k) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(f[i]); };
  auto le = [&](size_t i, int n) {
    size_t v = 0;
    for (int j = n - 1; j >= 0; --j) v = v << 8 | byte(i + static_cast<size_t>(j));
    return v;
  };
  size_t at;
  if (format == "zstd") {
    const unsigned fhd = byte(4);
    const bool single = (fhd >> 5) & 1;
    const size_t fcs[] = {single ? 1u : 0u, 2, 4, 8}, dict[] = {0, 1, 2, 4};
    at = 5 + (single ? 0 : 1) + dict[fhd & 3] + fcs[fhd >> 6];
    for (; k > 0; --k) {
      const size_t h = le(at, 3);
      at += 3 + ((h >> 1 & 3) == 1 ? 1 : h >> 3);
    }
  } else {  // lz4
    const unsigned flg = byte(4);
    at = 7 + ((flg & 8) ? 8 : 0) + ((flg & 1) ? 4 : 0);
    for (; k > 0; --k) at += 4 + (le(at, 4) & 0x7fffffff) + ((flg & 0x10) ? 4 : 0);
  }
  return at;
}

}  // namespace

// A bad block in the middle of a zstd or lz4 frame too large to hold: the
// blocks before it come out, and nothing of it, however the bytes arrive
// and whatever is asked for at a time (the libraries say nothing of what a failing call
// wrote, so each call is offered one block at most).
TEST(Source, OutputBeforeABadBlockDoesNotDependOnHowBytesArrive) {
  temp_dir dir;
  const std::string text = varied_log(60000, 3);
  for (const std::string format : {"zstd", "lz4"}) {
    if (!can_compress(format)) continue;
    std::string bad = compress(format, text);
    // Past the text a frame is held for (its blocks: 128 and 64 KiB).
    const size_t at = block_header(format, bad, format == "zstd" ? 12 : 24);
    if (format == "zstd") {
      bad[at] = static_cast<char>(bad[at] | 0x06);  // block type 3: reserved
    } else {
      bad.replace(at, 4, "\xff\xff\xff\x7f");  // a block larger than any
    }
    const std::string path = dir.write("bad", bad);
    const read_back want = read_source(path, 65536);
    EXPECT_EQ(want.last, -1) << format;
    EXPECT_GT(want.data.size(), 0u) << format;
    EXPECT_EQ(text.compare(0, want.data.size(), want.data), 0) << format;
    for (const auto& [out, raw] : {std::pair{size_t{13}, size_t{0}}, {size_t{65536}, size_t{1}},
                                   {size_t{4096}, kRandomChunks}}) {
      const read_back got = read_source(path, out, raw);
      EXPECT_EQ(got.problem, want.problem) << format;
      EXPECT_TRUE(got.data == want.data)
          << format << ", raw " << raw << ": " << got.data.size() << " against " << want.data.size();
    }
  }
}
// A small file of each format read in raw pieces of every size, so that a
// piece ends at every byte once (within a signature, a header, a block's
// magic, a checksum): always exactly the text.
TEST(Source, AnyPieceSizeGivesTheText) {
  temp_dir dir;
  const std::string text = varied_log(25, 9);
  for (const std::string& c : compressed_formats()) {
    const std::string packed = compress(c, text);
    const std::string path = dir.write("small", packed);
    for (size_t raw = 1; raw <= packed.size(); ++raw) {
      const read_back r = read_source(path, 300, raw);
      ASSERT_EQ(r.last, 0) << c << ", pieces of " << raw << ": " << r.problem;
      ASSERT_TRUE(r.data == text) << c << ", pieces of " << raw;
    }
  }
}
