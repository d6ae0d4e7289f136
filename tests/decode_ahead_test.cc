// Decoding ahead on threads changes nothing a user sees: with tiny blocks
// (so that block ends fall everywhere), one thread or several, the bytes,
// the messages and the status are those of decoding in the merge thread,
// also when several inputs are damaged and when the output fails.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/read_source.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

// The ways to run: in the merge thread, and ahead with tiny blocks.
const decode_plan kDirect = {0, 0, true};
// Files of every size decode in pieces where their format has them.
const decode_plan kAhead1Thread = {
    .threads = 1, .block = 4096, .fill_ring_first = true, .pieces_from = 1};
const decode_plan kAhead3Threads = {.threads = 3, .block = 777, .pieces_from = 1};

// The built formats, and plain text, taking turns.
std::string format_of(int i) {
  const std::vector<std::string> formats = compressed_formats();
  return formats.empty() ? std::string() : formats[static_cast<size_t>(i) % formats.size()];
}

void expect_same_either_way(const std::vector<std::string>& paths, int status) {
  const run_result want = run_braidlogs_here(paths, with_plan(kDirect));
  EXPECT_EQ(want.status, status) << want.err;
  for (const decode_plan& how : {kAhead1Thread, kAhead3Threads}) {
    const run_result got = run_braidlogs_here(paths, with_plan(how));
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.err, want.err);
    EXPECT_TRUE(got.out == want.out) << got.out.size() << " bytes against " << want.out.size();
  }
}

}  // namespace

// Two sets of inputs at once in one process, each with its own pool (one
// thread with tiny blocks, three with odd ones), read every input, one of
// them damaged, to the bytes and the fault of reading it in this thread.
TEST(DecodeAhead, SetsInOneProcessGiveTheBytesOfDecodingHere) {
  temp_dir dir;
  std::vector<std::string> paths = {dir.write("plain", sample_log(2000, 0))};
  for (int i = 1; i <= 12 && !format_of(i).empty(); ++i)
    paths.push_back(dir.write(std::to_string(i), compress(format_of(i), sample_log(2000, i))));
  std::string bad = read_file(paths.back());
  paths.push_back(dir.write("cut", bad.substr(0, bad.size() / 2)));
  const size_t n = paths.size();
  input_set* sets[] = {nullptr, inputs_begin(n, kAhead1Thread), inputs_begin(n, kAhead3Threads)};
  std::vector<log_input> in(3 * n);
  std::vector<std::string> got(3 * n);
  for (size_t k = 0; k < in.size(); ++k) {
    ASSERT_TRUE(input_open(in[k], paths[k % n].c_str(), sets[k / n]));
    input_start(in[k]);
  }
  for (bool more = true; more;) {  // a line of each in turn: every pool busy at once
    more = false;
    for (size_t k = 0; k < in.size(); ++k) {
      if (!input_active(in[k]) || input_next(in[k]) != input_status::ok) continue;
      if (got[k].empty()) input_wait_turn(in[k]);  // as start-up does
      got[k] += input_line(in[k]);
      more = true;
    }
  }
  for (size_t k = n; k < in.size(); ++k) {
    EXPECT_TRUE(got[k] == got[k % n]) << paths[k % n] << " on set " << k / n;
    EXPECT_STREQ(input_error_text(in[k]), input_error_text(in[k % n])) << paths[k % n];
  }
  EXPECT_STRNE(input_error_text(in[n - 1]), input_error_text(in[0]));  // the cut one failed
  for (log_input& i : in) input_release(i);
  inputs_end(sets[1]);
  inputs_end(sets[2]);
}

// Damage in several inputs at once: the one the merge reaches first is
// reported, with the lines before it written and nothing after it; garbage
// after whole members is reported at the end.
TEST(DecodeAhead, ErrorsInSeveralInputsAreReportedInMergeOrder) {
  temp_dir dir;
  std::vector<std::string> paths = {dir.write("plain", sample_log(30000, 0))};
  int n = 0;
  for (const std::string& c : compressed_formats()) {
    // Large enough that every damage lies many blocks into the data.
    std::string packed = compress(c, sample_log(30000, ++n));
    if (n == 1) packed += "trailing garbage";
    if (n == 2) packed.resize(packed.size() * 9 / 10);  // cut late
    if (n == 3) packed[packed.size() / 2] ^= 0x10;      // damaged in the middle
    if (n == 4) packed.resize(packed.size() * 2 / 3);   // cut earlier
    paths.push_back(dir.write("bad" + std::to_string(n), packed));
  }
  expect_same_either_way(paths, 1);
  expect_same_either_way({paths[0], paths[1]}, 1);  // garbage alone: at the end
}

// A failing output stops the merge and the decoding threads; nothing hangs.
TEST(DecodeAhead, AFailingOutputStopsEverything) {
  temp_dir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 6 && !format_of(i).empty(); ++i)
    paths.push_back(dir.write(std::to_string(i), compress(format_of(i), sample_log(20000, i))));
  fake_io full({.write_allowed = 0, .write_errno = ENOSPC});
  const run_result r =
      run_braidlogs_here(paths, with_seams({}, fake_writes(full), kAhead3Threads));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "braidlogs: write error: No space left on device\n");
}

namespace {

// Reads one input to its end on `plan`'s pool (off: in this thread), as
// the tool does: its first line, then the rest in its turn.
struct read_all {
  std::string text, error;
  size_t pieces_peak = 0;
};
read_all read_on(const std::string& path, decode_plan plan) {
  read_all r;
  plan.pieces_peak = &r.pieces_peak;
  plan.pieces_from = 1;
  input_set* set = plan.off ? nullptr : inputs_begin(1, plan);
  log_input in;
  if (input_open(in, path.c_str(), set)) {
    input_start(in);
    if (input_next(in) == input_status::ok) {
      input_wait_turn(in);
      if (!input_unconfirmed(in) || input_confirm(in)) r.text += input_line(in);
    }
    while (input_active(in) && input_next(in) == input_status::ok) r.text += input_line(in);
    r.error = input_error_text(in);
  }
  input_release(in);
  inputs_end(set);
  return r;
}

// The bits at which a bzip2 stream's 48-bit magic stands.
std::vector<uint64_t> bz_magics(const std::string& z, uint64_t magic) {
  std::vector<uint64_t> at;
  uint64_t window = 0;
  for (size_t i = 0; i < z.size(); ++i) {
    window = window << 8 | static_cast<unsigned char>(z[i]);
    for (int shift = 7; shift >= 0 && i >= 6; --shift)
      if (((window >> shift) & 0xffffffffffff) == magic) at.push_back((i + 1) * 8 - shift - 48);
  }
  return at;
}

}  // namespace

// A file in pieces (bzip2 blocks, zstd frames, BGZF members) decodes on
// many threads; whatever is wrong with its pieces, or after them, it ends
// at the same byte with the same message as decoded in the merge thread.
TEST(DecodeAhead, PiecesOnManyThreadsEndAsInTheMergeThread) {
  temp_dir dir;
  struct change {
    std::string name, data;
  };
  std::vector<change> changes;
  const auto flip = [](std::string s, uint64_t bit) {
    s[bit / 8] = static_cast<char>(s[bit / 8] ^ (0x80 >> bit % 8));
    return s;
  };
  if (can_compress("bzip2")) {
    const std::string one = compress("bzip2", sample_log(5000, 1));  // blocks of 100 kB
    const std::string both = one + compress("bzip2", sample_log(3000, 2));
    const std::string empty("BZh9\x17\x72\x45\x38\x50\x90\0\0\0\0", 14);
    const std::vector<uint64_t> blocks = bz_magics(both, 0x314159265359);
    const std::vector<uint64_t> ends = bz_magics(both, 0x177245385090);
    ASSERT_GE(blocks.size(), 5u);
    ASSERT_EQ(ends.size(), 2u);
    changes.insert(changes.end(), {
        {"bzip2: two streams", both},
        {"bzip2: an empty stream between", one + empty + both.substr(one.size())},
        {"bzip2: a block's magic", flip(both, blocks[2] + 20)},
        {"bzip2: a block's CRC", flip(both, blocks[2] + 60)},
        {"bzip2: a block's data", flip(both, blocks[2] + 5000)},
        {"bzip2: the last block's data", flip(both, ends[0] - 100)},
        {"bzip2: the end's magic", flip(both, ends[0] + 10)},
        {"bzip2: the stream's CRC", flip(both, ends[0] + 60)},
        {"bzip2: cut inside a block", both.substr(0, blocks[3] / 8 + 100)},
        {"bzip2: cut inside a magic", both.substr(0, blocks[3] / 8 + 3)},
        {"bzip2: cut inside the end", both.substr(0, ends[1] / 8 + 7)},
        {"bzip2: garbage after", both + "garbage"},
        {"bzip2: a header alone after", both + "BZh"},
        {"bzip2: zeros after", both + std::string(8, '\0')},
    });
  }
  const std::string skip("\x5a\x2a\x4d\x18\x03\0\0\0abc", 11);  // zstd's and lz4's
  if (can_compress("zstd")) {
    // More than a piece's 64 KiB, so that pieces follow pieces.
    const std::string a = compress("zstd", sample_log(40000, 3)), b = compress("zstd", "");
    const std::string c = compress("zstd", sample_log(3000, 4));
    const std::string frames = skip + a + b + skip + c;
    const size_t in_c = frames.size() - c.size() / 2;
    changes.insert(changes.end(), {
        {"zstd: frames, empty and skippable ones", frames},
        {"zstd: a frame's data", flip(frames, 8 * in_c)},
        {"zstd: a frame cut", frames.substr(0, in_c)},
        {"zstd: a skippable frame cut", a + skip.substr(0, 9)},
        {"zstd: garbage after", frames + "garbage"},
    });
  }
  if (can_compress("lz4")) {
    const std::string a = compress("lz4", sample_log(10000, 8)), b = compress("lz4", "");
    const std::string frames = a + b + skip + compress("lz4", sample_log(3000, 9));
    changes.insert(changes.end(), {
        {"lz4: frames, empty and skippable ones", frames},
        {"lz4: a frame's data", flip(frames, 8 * (frames.size() - 5000))},
        {"lz4: a frame cut", frames.substr(0, frames.size() - 5000)},
        {"lz4: garbage after", frames + "garbage"},
    });
  }
  if (can_compress("gzip")) {
    const std::string members = bgzf(sample_log(30000, 5));
    changes.insert(changes.end(), {
        {"BGZF: members", members},
        {"BGZF: a member's data", flip(members, 8 * (members.size() / 2))},
        {"BGZF: a member's size", flip(members, 8 * 16 + 3)},
        {"BGZF: cut", members.substr(0, members.size() * 2 / 3)},
        {"BGZF: zeros after", members + std::string(5, '\0')},
        {"BGZF: garbage after", members + "garbage"},
        {"BGZF: after a plain member", compress("gzip", sample_log(100, 6)) + members},
    });
  }
  for (const change& c : changes) {
    const std::string path = dir.write("x", c.data);
    const read_all want = read_on(path, {0, 0, true});
    for (unsigned threads : {1u, 3u, 8u}) {
      const read_all got = read_on(path, {threads});
      EXPECT_EQ(got.error, want.error) << c.name << ", " << threads << " threads";
      EXPECT_TRUE(got.text == want.text) << c.name << ", " << threads << " threads: "
                                         << got.text.size() << " bytes against "
                                         << want.text.size();
      if (!c.name.ends_with("after a plain member")) {
        EXPECT_GE(got.pieces_peak, 1u) << c.name;
      }
    }
  }
}

// A unit that says its size and carries a check (a bzip2 block, a BGZF
// member, a zstd or lz4 frame, an xz block that says its sizes, each of up
// to 1 MiB of text) goes out only once its check has passed: a damaged
// one writes nothing, and a sound one is never lost to damage after it.
// The same in the merge thread, on the pool and as a pipe delivers it.
TEST(DecodeAhead, ADamagedUnitWritesNothingAndTheSoundOnesBeforeItAllGoOut) {
  temp_dir dir;
  struct damage {
    std::string name, data;
    std::string sound;  // the text of the units before the damaged one
  };
  std::vector<damage> cases;
  const auto flip = [](std::string s, uint64_t bit) {
    s[bit / 8] = static_cast<char>(s[bit / 8] ^ (0x80 >> bit % 8));
    return s;
  };
  // What the sound units of a file cut in the damaged one's first byte decode to.
  const auto before = [&](const std::string& data, size_t cut) {
    return read_on(dir.write("cut", data.substr(0, cut)), {0, 0, true}).text;
  };
  if (can_compress("bzip2")) {
    const std::string z = compress("bzip2", varied_log(8000, 1));  // blocks of 100 kB
    const std::vector<uint64_t> blocks = bz_magics(z, 0x314159265359);
    const uint64_t end = bz_magics(z, 0x177245385090).at(0);
    ASSERT_GE(blocks.size(), 4u);
    cases.insert(cases.end(), {
        {"bzip2: a block's magic", flip(z, blocks[2] + 20), before(z, blocks[2] / 8 + 1)},
        {"bzip2: the end's magic", flip(z, end + 10), before(z, end / 8 + 1)},
        {"bzip2: the stream's CRC", flip(z, end + 60), before(z, end / 8 + 1)},
        {"bzip2: a block's CRC", flip(z, blocks[2] + 60), before(z, blocks[2] / 8 + 1)},
    });
  }
  const std::string one = varied_log(3000, 2), two = varied_log(3000, 3);
  for (const std::string f : {"zstd", "lz4"}) {
    if (!can_compress(f)) continue;
    const std::string a = compress(f, one), b = compress(f, two);
    cases.push_back({f + ": a frame's data", flip(a + b, 8 * (a.size() + b.size() / 2)), one});
  }
  if (can_compress("gzip")) {
    const std::string a = bgzf(one), b = bgzf(two);
    cases.push_back({"BGZF: a member's data", flip(a + b, 8 * (a.size() + 200)), one});
  }
  if (can_compress("xz")) {
    const std::string text = varied_log(12000, 4);
    constexpr size_t kBlock = 256 << 10;
    const std::string z = xz_with_blocks(text, kBlock);
    const std::vector<size_t> starts = xz_block_starts(z);
    ASSERT_GE(starts.size(), 4u);
    const size_t k = starts.size() / 2;
    cases.insert(cases.end(), {
        {"xz: a block's data", flip(z, 8 * (starts[k] + 300)), text.substr(0, k * kBlock)},
        {"xz: a block's check", flip(z, 8 * starts[k + 1] - 3), text.substr(0, k * kBlock)},
        {"xz: the header after a block", flip(z, 8 * starts[k] + 9),
         text.substr(0, k * kBlock)},
    });
  }
  for (const damage& c : cases) {
    const std::string want = c.sound.substr(0, c.sound.rfind('\n') + 1);
    ASSERT_FALSE(want.empty()) << c.name;
    const std::string path = dir.write("x", c.data);
    for (const decode_plan plan : {decode_plan{0, 0, true}, decode_plan{1}, decode_plan{3}}) {
      const read_all got = read_on(path, plan);
      EXPECT_FALSE(got.error.empty()) << c.name;
      EXPECT_TRUE(got.text == want) << c.name << ", " << plan.threads << " threads: "
                                    << got.text.size() << " bytes against " << want.size();
    }
    const read_back piped = read_source(path, 4096, kRandomChunks);
    EXPECT_EQ(piped.last, -1) << c.name;
    EXPECT_TRUE(piped.data.substr(0, piped.data.rfind('\n') + 1) == want)
        << c.name << " as a pipe delivers it: " << piped.data.size() << " bytes";
  }
}

// An xz stream of large blocks decodes on liblzma's threads, whole or
// damaged, to the bytes and the error of decoding it on one (as it does
// when its first bytes arrive one at a time).
TEST(DecodeAhead, XzBlocksOnThreadsGiveWhatOneThreadGives) {
  if (!can_compress("xz")) GTEST_SKIP() << "no xz in this build";
  temp_dir dir;
  const std::string text = sample_log(140000, 7);
  const std::string whole = xz_with_blocks(text, size_t{4} << 20);
  for (const size_t at : {size_t{0}, whole.size() / 3, whole.size() * 2 / 3}) {
    std::string bad = whole;
    if (at != 0) bad[at] = static_cast<char>(bad[at] ^ 0x10);
    const std::string path = dir.write("x.xz", bad);
    const read_back alone = read_source(path, 65536, 1);
    const read_all got = read_on(path, {2});
    EXPECT_TRUE(got.text == alone.data.substr(0, alone.data.rfind('\n') + 1)) << at;
    EXPECT_TRUE(at != 0 || got.text == text);
    EXPECT_TRUE(at == 0 || got.error == alone.problem) << at << ": " << got.error;
  }
}

// With eight threads, eight blocks of one bzip2 file decode at once: each
// thread that begins a block after the first (which the first line waits
// for) waits here until eight more have begun.
TEST(DecodeAhead, EightThreadsDecodeEightBlocksOfOneFileAtOnce) {
  if (!can_compress("bzip2")) GTEST_SKIP() << "no bzip2 in this build";
  temp_dir dir;
  const std::string text = sample_log(20000, 3);
  const std::string path = dir.write("x.bz2", compress("bzip2", text));
  struct meeting {
    std::mutex m;
    std::condition_variable all;
    size_t begun = 0;
  } at;
  decode_plan plan;
  plan.threads = 8;
  plan.piece_arg = &at;
  plan.piece_begun = [](void* arg) {
    auto& a = *static_cast<meeting*>(arg);
    std::unique_lock<std::mutex> lock(a.m);
    if (++a.begun == 1) return;
    a.all.notify_all();
    // Only a pool that cannot give eight blocks at once waits this long.
    a.all.wait_for(lock, std::chrono::seconds(30), [&] { return a.begun >= 9; });
  };
  const read_all got = read_on(path, plan);
  EXPECT_TRUE(got.text == text);
  EXPECT_EQ(got.pieces_peak, 8u);
}
