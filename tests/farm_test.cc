// A farm's rotated logs in one command: every server's days, each day a
// file compressed in turn with every format (or plain), named server by
// server as a shell glob names them. Files whose days have not come wait
// without a decoder, and only as many start decoding ahead of their turn as
// there are decoding threads, so no more decoders are alive at once than
// servers plus threads; the bytes, messages and status are those of merging
// the decompressed files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/read_source.h"
#include "tests/reference_merge.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

constexpr int kServers = 3, kDays = 8, kLines = 150;

struct farm {
  std::vector<std::string> paths, plain_paths, texts;
};

// Server s, day d: lines at seconds d x 1000 + 5i + s, so that a server's
// days follow one another; with `overlap`, server 0's days run into the
// next. Some days hold an undated line, some two lines out of order.
farm make_farm(const temp_dir& dir, bool overlap) {
  std::vector<std::string> formats = compressed_formats();
  formats.push_back("plain");
  farm f;
  for (int s = 0; s < kServers; ++s) {
    for (int d = 0; d < kDays; ++d) {
      std::vector<std::string> lines;
      for (int i = 0; i < kLines; ++i) {
        const int start = overlap && s == 0 ? d * 600 : d * 1000;
        lines.push_back(clf_at(start + 5 * i + s, std::to_string(d) + "-" + std::to_string(i), s));
      }
      if (d % 3 == 1) lines[kLines / 2] = "undated line " + std::to_string(s) + "\n";
      if (d % 3 == 2) std::swap(lines[10], lines[11]);
      std::string text;
      for (const std::string& l : lines) text += l;
      const std::string& format = formats[static_cast<size_t>(s * kDays + d) % formats.size()];
      const std::string name = "web" + std::to_string(s) + "-day" + std::to_string(d);
      f.texts.push_back(text);
      f.plain_paths.push_back(dir.write(name + ".log", text));
      f.paths.push_back(format == "plain" ? f.plain_paths.back()
                                          : dir.write(name + "." + format, compress(format, text)));
    }
  }
  return f;
}

}  // namespace

TEST(Farm, MergesAsItsDecompressedFilesWithADecoderAServer) {
  for (const bool overlap : {false, true}) {
    temp_dir dir;
    const farm f = make_farm(dir, overlap);
    const run_result want = run_braidlogs_here(f.plain_paths);
    ASSERT_EQ(want.status, 0) << want.err;
    for (const unsigned threads : {1u, 2u, 3u}) {
      run_seams seams;
      seams.plan.threads = threads;
      seams.merge.ranges = threads == 3 ? 3 : 0;  // merged in ranges on the decoding threads
      const run_result got = run_braidlogs_here(f.paths, seams);
      EXPECT_EQ(got.status, 0) << got.err;
      EXPECT_TRUE(got.out == want.out) << "overlap " << overlap << ", threads " << threads;
      EXPECT_GE(got.decoders_peak, 1u);
      if (!overlap) {
        EXPECT_LE(got.decoders_peak, size_t{kServers + threads});
      }
    }
  }
}

// A damaged day in the middle of a server's days ends that file alone:
// the later days of that server and every other server merge to their end.
TEST(Farm, ADamagedDayEndsAlone) {
  temp_dir dir;
  farm f = make_farm(dir, false);
  const size_t bad = kDays + kDays / 2;  // server 1, a middle day
  const std::vector<std::string> formats = compressed_formats();
  if (formats.empty()) GTEST_SKIP() << "built without any compressed format";
  std::string packed = compress(formats[0], f.texts[bad]);
  packed.resize(packed.size() * 2 / 3);
  f.paths[bad] = dir.write("damaged." + formats[0], packed);
  const read_back alone = read_source(f.paths[bad], 65536);
  f.texts[bad] = alone.data.substr(0, alone.data.rfind('\n') + 1);
  decode_plan plan;
  plan.threads = 1;
  const run_result got = run_braidlogs_here(f.paths, with_plan(plan));
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.err, "braidlogs: " + f.paths[bad] + ": " + alone.problem + "\n");
  EXPECT_TRUE(got.out == reference_merge(f.texts)) << got.out.size() << " against " << reference_merge(f.texts).size() << " err " << got.err;
  EXPECT_LE(got.decoders_peak, size_t{kServers + 1});
}
