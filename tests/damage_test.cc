// A damaged input ends alone: every other input merges to its end, the
// damaged one's message comes when the merge reaches the damage, and the
// status is 1. What comes out of it is the same however its bytes arrive:
// from a regular file or a pipe, whole, a byte at a time or in random
// chunks, decoded in the merge thread or ahead on the pool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/fake_seams.h"
#include "tests/read_source.h"
#include "tests/reference_merge.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

// Runs braidlogs here with x's reads cut into read_chunk bytes a call.
run_result run_cut(const std::vector<std::string>& args, const std::string& x, size_t read_chunk,
                   const decode_plan& plan) {
  fake_io io({.read_inode = inode_of(x), .read_chunk = read_chunk});
  run_seams seams;
  seams.reads = fake_reads(io);
  seams.plan = plan;
  seams.merge.ranges = plan.threads;  // on the pool's threads: merged in ranges there too
  return run_braidlogs_here(args, seams);
}

// How the damaged file's bytes arrive, on which decoding plan.
struct arrival {
  const char* name;
  size_t read_chunk;  // 0: as asked
  decode_plan plan;
};
const arrival kArrivals[] = {
    {"whole, in the merge thread", 0, {0, 0, true}},
    {"whole, ahead on three threads", 0, {.threads = 3, .block = 777, .pieces_from = 1}},
    {"a byte at a time, ahead", 1, {.pieces_from = 1}},
    {"random chunks, in the merge thread", kRandomChunks, {0, 0, true}},
};

}  // namespace

TEST(Damage, OneInputEndsAloneTheSameHoweverItsBytesArrive) {
  temp_dir dir;
  // a and c run on past the damage, which lies in the middle of x.
  const std::string a_text = sample_log(25000, 0), c_text = sample_log(25000, 2);
  const std::string a = dir.write("a", a_text), c = dir.write("c", c_text);
  const std::string text = sample_log(20000, 1);
  for (const std::string& f : compressed_formats()) {
    std::string bad = compress(f, text);
    bad[bad.size() / 2] ^= 0x10;
    const std::string x = dir.write("x." + f, bad);
    const read_back alone = read_source(x, 65536);
    ASSERT_EQ(alone.last, -1) << f;
    const std::string lines = alone.data.substr(0, alone.data.rfind('\n') + 1);
    const std::string want = reference_merge({a_text, lines, c_text});
    const std::string message = "braidlogs: " + x + ": " + alone.problem + "\n";
    // bzip2 checks each block before it goes out: no damaged line escapes.
    if (f == "bzip2") {
      EXPECT_EQ(text.compare(0, lines.size(), lines), 0);
    }
    for (const arrival& how : kArrivals) {
      const run_result r = run_cut({a, x, c}, x, how.read_chunk, how.plan);
      EXPECT_EQ(r.status, 1) << f << ", " << how.name;
      EXPECT_EQ(r.err, message) << f << ", " << how.name;
      EXPECT_TRUE(r.out == want) << f << ", " << how.name << ": " << r.out.size()
                                 << " bytes against " << want.size();
    }
    // Through a pipe, with the messages in the same file as the lines: the
    // message comes right after the damaged input's last line.
    const std::string both = dir.file("both");
    const std::string cmd = "bash -c '" BRAIDLOGS_BIN " " + a + " <(cat " + x + ") " + c +
                            " > " + both + " 2>&1'";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 1) << f;
    std::string got = read_file(both);
    const std::string last = lines.substr(lines.rfind('\n', lines.size() - 2) + 1);
    const size_t at = want.find(last) + last.size();
    const size_t end = got.find('\n', at) + 1;
    EXPECT_EQ(got.substr(0, at), want.substr(0, at)) << f;
    const std::string message_line = got.substr(at, end - at);
    EXPECT_TRUE(message_line.starts_with("braidlogs: /dev/fd/") &&
                message_line.ends_with(": " + alone.problem + "\n"))
        << f << ": " << got.substr(at, 200);
    got.erase(at, end - at);
    EXPECT_TRUE(got == want) << f << " through a pipe";
  }
}

// A file's first line is read at start-up before its first unit's check
// (a bzip2 block, a BGZF member, a zstd or lz4 frame, an xz block held
// until its check), and read again, checked, before it is written. A
// first unit that fails its check so ends that input alone in its turn,
// with nothing of it written, on every path. A pipe, which cannot be read
// again, is checked at start-up.
TEST(Damage, AFirstUnitFoundBadInItsTurnEndsThatInputAlone) {
  temp_dir dir;
  const std::string a_text = sample_log(3000, 0), c_text = sample_log(3000, 2);
  const std::string a = dir.write("a", a_text), c = dir.write("c", c_text);
  const std::string text = sample_log(3000, 1), big = varied_log(12000, 1);
  struct first_unit {
    std::string format, data;
    size_t flip;  // a byte of the first unit's check: its text decodes whole
  };
  std::vector<first_unit> units;
  if (can_compress("bzip2")) units.push_back({"bzip2", compress("bzip2", text), 12});
  if (can_compress("gzip")) {
    const std::string z = bgzf(text);
    units.push_back({"gzip", z, (size_t{uint8_t(z[16])} | size_t{uint8_t(z[17])} << 8) - 6});
  }
  for (const char* f : {"zstd", "lz4"}) {
    if (!can_compress(f)) continue;
    const std::string one = compress(f, text);
    units.push_back({f, one + compress(f, big), one.size() - 2});  // its checksum
  }
  if (can_compress("xz")) {
    const std::string z = xz_with_blocks(big, 256 << 10);
    units.push_back({"xz", z, xz_block_starts(z).at(1) - 2});  // block 0's CRC64
  }
  const std::string want = reference_merge({a_text, c_text});
  for (first_unit& u : units) {
    u.data[u.flip] ^= 1;
    const std::string x = dir.write("x." + u.format, u.data);
    const std::string message = "braidlogs: " + x + ": corrupt " + u.format + " data\n";
    for (const arrival& how : kArrivals) {
      const run_result r = run_cut({a, x, c}, x, how.read_chunk, how.plan);
      EXPECT_EQ(r.status, 1) << u.format << ", " << how.name;
      EXPECT_EQ(r.err, message) << u.format << ", " << how.name;
      EXPECT_TRUE(r.out == want) << u.format << ", " << how.name << ": " << r.out.size()
                                 << " bytes against " << want.size();
    }
    // Alone once the other input has ended.
    const run_result r = run_braidlogs_here({dir.write("undated", "undated\n"), x});
    EXPECT_EQ(r.status, 1) << u.format;
    EXPECT_EQ(r.out, "undated\n") << u.format;
    EXPECT_EQ(r.err, message) << u.format;
    const std::string out = dir.file("out"), err = dir.file("err");
    const std::string cmd = "bash -c '" BRAIDLOGS_BIN " " + a + " <(cat " + x + ") " + c +
                            " > " + out + " 2> " + err + "'";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 1) << u.format;
    EXPECT_EQ(read_file(out), "") << u.format;
    EXPECT_TRUE(read_file(err).ends_with(": corrupt " + u.format + " data\n")) << read_file(err);
  }
}
