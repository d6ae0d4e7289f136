// braidcat takes whatever rotation leaves, as cat and zcat -f do: one
// input, empty inputs, standard input, inputs that cannot be read; and
// merges every line there is, exactly as braidlogs merges. braidlogs keeps
// its own contract for the scripts that rely on it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/compress.h"
#include "tests/reference_merge.h"
#include "tests/run_tool.h"
#include "tests/sample_log.h"
#include "tests/temp_dir.h"

namespace {

std::string packed(const std::string& format, const std::string& text) {
  return format == "plain" ? text : compress(format, text);
}

}  // namespace

// A farm as rotation leaves it: hosts with an empty access.log, a quiet
// day's compressed file that decodes to nothing, hosts with a single log in
// each format, a name that is missing, and standard input.
TEST(Braidcat, MergesEveryLineThereIsOfWhatRotationLeaves) {
  temp_dir dir;
  std::vector<std::string> formats = {"plain"};
  for (const std::string& f : compressed_formats()) formats.push_back(f);
  const std::string web1_old = sample_log(400, 1), web1_now = sample_log(300, 2);
  std::vector<std::string> farm = {dir.write("web1.access.log", ""),
                                   dir.write("web1.access.log.1", web1_now),
                                   dir.write("web1.access.log.2.gz", compress("gzip", web1_old)),
                                   dir.write("quiet.access.log.1.gz", compress("gzip", ""))};
  std::vector<std::string> texts = {web1_old, web1_now};
  for (size_t i = 0; i < formats.size(); ++i) {
    texts.push_back(sample_log(200, static_cast<unsigned>(10 + i)));
    farm.push_back(dir.write("single." + formats[i], packed(formats[i], texts.back())));
  }
  const std::string stdin_text = sample_log(50, 30);
  const std::string in = dir.write("stdin", compress("bzip2", stdin_text));
  const std::string missing = dir.file("missing.log");
  // A file that is no log, and one whose first block fails its check: each
  // ends alone at start-up, and the rest merge.
  const std::string zip = dir.write("x.zip", std::string("PK\3\4", 4) + "rest");
  std::string bad = can_compress("bzip2") ? compress("bzip2", sample_log(300, 3)) : "";
  if (!bad.empty()) bad[12] ^= 1;  // the first block's stored CRC
  const std::string bad_bz2 = dir.write("bad.bz2", bad);
  struct run_case {
    std::string name;
    std::vector<std::string> args, texts;  // texts: what merges
    int status;
    std::string err;
  };
  std::vector<std::string> with_missing = farm, with_stdin = farm, stdin_texts = texts;
  with_missing.insert(with_missing.begin() + 2, missing);
  with_stdin.insert(with_stdin.end(), {"-", "-"});  // read once
  stdin_texts.push_back(stdin_text);
  std::vector<run_case> cases = {
      {"the farm", farm, texts, 0, ""},
      {"a missing file among them", with_missing, texts, 1,
       "braidcat: " + missing + ": No such file or directory\n"},
      {"standard input named among them", with_stdin, stdin_texts, 0, ""},
      {"standard input alone", {}, {stdin_text}, 0, ""},
      {"standard input as -", {"-"}, {stdin_text}, 0, ""},
      {"only empty inputs", {farm[0], farm[3]}, {}, 0, ""},
      {"after --, a name that begins with -", {"--", "-x"}, {}, 1,
       "braidcat: -x: No such file or directory\n"},
      {"a zip archive among them", {farm[1], zip}, {web1_now}, 1,
       "braidcat: " + zip + ": a zip archive, which braidlogs does not read; extract the log "
       "first (unzip -p)\n"},
  };
  if (!bad.empty())
    cases.push_back({"a bad first block among them", {farm[1], bad_bz2}, {web1_now}, 1,
                     "braidcat: " + bad_bz2 + ": corrupt bzip2 data\n"});
  for (size_t i = 0; i < formats.size(); ++i)
    cases.push_back({"a single " + formats[i] + " log", {farm[4 + i]}, {texts[2 + i]}, 0, ""});
  for (const run_case& c : cases) {
    const run_result r = run_braidcat_here(c.args, in);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_TRUE(r.out == reference_merge(c.texts)) << c.name << ": " << r.out.size() << " bytes";
  }
  // braidlogs keeps its contract: the empty access.log ends start-up with
  // nothing written.
  const run_result strict = run_braidlogs_here(farm);
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.out, "");
  EXPECT_EQ(strict.err, "braidlogs: empty input file `" + farm[0] + "'");
}

// Options as GNU tools take them.
TEST(Braidcat, OptionsAsGnuToolsTakeThem) {
  temp_dir dir;
  const std::string a = dir.write("a", sample_log(10, 1));
  struct option_case {
    std::vector<std::string> args;
    int status;
    std::string out_starts, err_starts;
  };
  const option_case cases[] = {
      {{"--help"}, 0, "usage: braidcat [OPTION]... [FILE]...\n", ""},
      {{a, "--he"}, 0, "usage: braidcat", ""},
      {{"--version"}, 0, "braidcat " BRAIDLOGS_VERSION "\n", ""},
      {{a, "--bogus"}, 1, "", "braidcat: unrecognized option '--bogus'\nusage: braidcat"},
      {{"-x", a}, 1, "", "braidcat: invalid option -- 'x'\nusage: braidcat"},
  };
  // Help that cannot be written is no success.
  const std::string full = "'" BRAIDCAT_BIN "' --help > /dev/full 2> " + dir.file("err");
  EXPECT_EQ(WEXITSTATUS(std::system(full.c_str())), 1);
  EXPECT_EQ(read_file(dir.file("err")), "braidcat: write error: No space left on device\n");
  for (const option_case& c : cases) {
    const run_result r = run_braidcat_here(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_TRUE(r.out.starts_with(c.out_starts)) << c.args[0] << ": " << r.out;
    EXPECT_TRUE(r.err.starts_with(c.err_starts)) << c.args[0] << ": " << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.out, "") << "nothing merged";
    } else {
      EXPECT_EQ(r.err, "");
    }
  }
}
