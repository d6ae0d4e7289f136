// Compressed inputs read exactly as the formats' own tools read them: files
// made by gzip, bzip2, xz, zstd and pzstd with their common options decode
// to the bytes `TOOL -dc` prints, however the raw bytes arrive; damaged
// copies are accepted or refused as the tool accepts or refuses them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/read_source.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

struct shell_result {
  int status = -1;
  std::string out, err;
};

shell_result shell(const temp_dir& dir, const std::string& cmd) {
  const std::string full = "(" + cmd + ") > " + dir.file("sh.out") + " 2> " + dir.file("sh.err");
  const int rc = std::system(full.c_str());
  shell_result r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = read_file(dir.file("sh.out"));
  r.err = read_file(dir.file("sh.err"));
  return r;
}

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

struct variant {
  const char* tool;    // needed on PATH
  const char* make;    // shell: writes the compressed file to stdout; $A, $B, $E are inputs
  const char* decode;  // shell: the tool's own reading of stdin
  bool damage = false; // also damaged in every way, against the tool
};

// Each variant's file, and what the tool itself prints for it.
const variant kVariants[] = {
    {"gzip", "gzip -1 -c $A", "gzip -dc"},
    {"gzip", "gzip -9 -n -c $A", "gzip -dc"},
    {"gzip", "gzip -N -c $A; gzip -c $E; gzip -c $B", "gzip -dc", true},
    {"bzip2", "bzip2 -1 -c $A", "bzip2 -dc"},
    {"bzip2", "bzip2 -9 -c $A; bzip2 -c $E; bzip2 -c $B", "bzip2 -dc", true},
    {"xz", "xz -0 -c $A", "xz -dc"},
    {"xz", "xz -6 -c $A; xz -c $E; printf '\\0\\0\\0\\0'; xz -c $B", "xz -dc", true},
    {"xz", "xz -9e -c $A", "xz -dc"},
    {"xz", "xz -T2 --block-size=65536 -c $A", "xz -dc"},
    {"zstd", "zstd -q -1 -c $A", "zstd -dc"},
    {"zstd", "zstd -q --no-check -c $A; zstd -q -c $B", "zstd -dc", true},
    {"zstd", "zstd -q -19 -c $A; zstd -q -c $E; zstd -q -c $B", "zstd -dc"},
    {"zstd", "zstd -q --long=27 -c $A", "zstd -dc --long=27"},
    {"zstd", "zstd -q -T2 -B65536 -c $A", "zstd -dc"},
    {"zstd", "printf 'P*M\\030\\005\\0\\0\\0skip!'; zstd -q -c $A; printf '^*M\\030\\0\\0\\0\\0'", "zstd -dc"},
    {"pzstd", "pzstd -q -p 2 -c $A", "zstd -dc"},
    {"xz", "xz --format=lzma -c $A", "xz -dc", true},
    {"xz", "xz --format=lzma -9 -c $B", "xz -dc"},
    {"lzip", "lzip -c $A; lzip -c $E; lzip -c $B", "xz -dc", true},
    {"lzip", "lzip -0 -c $A; printf 'not lzip'", "xz -dc"},
    {"lz4", "lz4 -q -c $A; lz4 -q -c $E; lz4 -q -c $B", "lz4 -dc", true},
    {"lz4", "lz4 -q -BX -B4 -c $A", "lz4 -dc", true},
    {"lz4", "lz4 -q -BD --no-frame-crc -c $A; printf 'P*M\\030\\002\\0\\0\\0!!'", "lz4 -dc"},
    {"lz4", "lz4 -q -l -c $A; lz4 -q -c $B", "lz4 -dc", true},  // legacy frames
    {"lz4", "lz4 -q -c $B; lz4 -q -l -c $A; lz4 -q -l -c $E; lz4 -q -l -c $B", "lz4 -dc"},
};

class Differential : public ::testing::Test {
 protected:
  void SetUp() override {
    a = dir.write("a", varied_log(3000, 1));
    b = dir.write("b", varied_log(500, 2));
    e = dir.write("e", "");
  }
  // Makes the variant's file; false when its tool is missing.
  bool make(const variant& v, std::string* path) {
    if (!have(v.tool)) return false;
    *path = dir.file("packed");
    std::string cmd = v.make;
    for (auto [from, to] : {std::pair{"$A", a}, {"$B", b}, {"$E", e}})
      for (size_t at; (at = cmd.find(from)) != std::string::npos;) cmd.replace(at, 2, to);
    const shell_result r = shell(dir, "{ " + cmd + "; } > " + *path);
    EXPECT_EQ(r.status, 0) << cmd << ": " << r.err;
    return r.status == 0;
  }
  // The tool's verdict on a file: accepted means status 0 and not a word.
  shell_result tool_reads(const variant& v, const std::string& path) {
    return shell(dir, std::string(v.decode) + " < " + path);
  }
  temp_dir dir;
  std::string a, b, e;
};

}  // namespace

TEST_F(Differential, SameBytesAsTheToolHoweverTheBytesArrive) {
  int made = 0;
  for (const variant& v : kVariants) {
    std::string path;
    if (!make(v, &path)) continue;
    ++made;
    const shell_result want = tool_reads(v, path);
    ASSERT_EQ(want.status, 0) << v.make << ": " << want.err;
    for (size_t raw : {size_t{0}, size_t{1}, kRandomChunks}) {
      const read_back got = read_source(path, raw == 1 ? 65536 : 13, raw, made);
      EXPECT_EQ(got.last, 0) << v.make << " raw " << raw << ": " << got.problem;
      EXPECT_FALSE(got.trailing_garbage) << v.make;
      EXPECT_TRUE(got.data == want.out) << v.make << " raw " << raw;
    }
  }
  if (made == 0) GTEST_SKIP() << "none of the compression tools is installed";
}

// Cut short, bit-flipped, or followed by zeros, garbage or the start of a
// member: braidlogs refuses exactly what the tool refuses, and where both
// accept, gives the same bytes.
TEST_F(Differential, DamageIsRefusedAsTheToolRefusesIt) {
  std::mt19937 rng(11);
  for (const variant& v : kVariants) {
    std::string path;
    if (!v.damage) continue;
    if (!make(v, &path)) continue;
    const std::string good = read_file(path);
    std::vector<std::string> damaged;
    for (int i = 0; i < 20; ++i) damaged.push_back(good.substr(0, rng() % good.size()));
    for (int i = 0; i < 25; ++i) {
      std::string bad = good;
      bad[rng() % bad.size()] ^= static_cast<char>(1u << (rng() % 8));
      damaged.push_back(bad);
    }
    for (const std::string& tail : {std::string(4, '\0'), std::string(3, '\0'),
                                   std::string(1000, '\0') + "x", std::string("garbage\n"),
                                   good.substr(0, 3), good.substr(0, 1)})
      damaged.push_back(good + tail);
    for (const std::string& bytes : damaged) {
      const std::string p = dir.write("damaged", bytes);
      const shell_result want = tool_reads(v, p);
      const bool tool_accepts = want.status == 0 && want.err.empty();
      const read_back got = read_source(p, 4096, kRandomChunks, static_cast<unsigned>(bytes.size()));
      const bool we_accept = got.last == 0 && !got.trailing_garbage;
      EXPECT_EQ(we_accept, tool_accepts)
          << v.decode << ", " << bytes.size() << " bytes of " << good.size() << ": tool said "
          << want.err << "; we said " << got.problem << (got.trailing_garbage ? "trailing" : "");
      if (tool_accepts && we_accept) {
        EXPECT_TRUE(got.data == want.out) << v.decode;
      }
    }
  }
}
