#include "key/line_key.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#include "tests/sample_log.h"

using namespace std::string_literals;

namespace {

// An independent reckoning of the key: the C library's timegm, which
// normalises out-of-range fields the same way (day 0 is the last day of the
// month before), measured from 31 December 1989, the instant of key 0.
int64_t key_by_timegm(int year, int month0, int day, int h, int m, int s) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month0;
  t.tm_mday = day;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  std::tm zero{};
  zero.tm_year = 89;
  zero.tm_mon = 11;
  zero.tm_mday = 31;
  return static_cast<int64_t>(timegm(&t)) - static_cast<int64_t>(timegm(&zero));
}

}  // namespace

TEST(LineKey, KnownInstants) {
  EXPECT_EQ(line_key(clf_line("10/Oct/2000:13:55:36", "")), 340120536);
  EXPECT_EQ(line_key(clf_line("10/Oct/2000:13:55:36", "")), key_by_timegm(2000, 9, 10, 13, 55, 36));
  EXPECT_EQ(line_key(clf_line("01/Jan/1990:00:00:00", "")), 86400);
  EXPECT_EQ(line_key(clf_line("00/Jan/1990:00:00:00", "")), 0);
  EXPECT_EQ(line_key(clf_line("30/Dec/1989:00:00:00", "")), -86400);
  EXPECT_EQ(line_key(clf_line("17/May/2015:10:05:03", "")), key_by_timegm(2015, 4, 17, 10, 5, 3));
}

TEST(LineKey, ZoneOffsetIsIgnored) {
  EXPECT_EQ(line_key("x [10/Oct/2000:13:55:36 -0700] y\n"),
            line_key("x [10/Oct/2000:13:55:36 +0200] y\n"));
}

// The real calendar: a later instant never gets a smaller key, across month
// ends, year ends, leap days and far-off years.
TEST(LineKey, FollowsTheRealCalendar) {
  EXPECT_LT(line_key(clf_line("31/Jan/2000:23:00:00", "")), line_key(clf_line("01/Feb/2000:01:00:00", "")));
  EXPECT_LT(line_key(clf_line("31/Dec/1999:12:00:00", "")), line_key(clf_line("01/Jan/2000:12:00:00", "")));
  EXPECT_LT(line_key(clf_line("29/Feb/2024:23:59:59", "")), line_key(clf_line("01/Mar/2024:00:00:00", "")));
  EXPECT_EQ(line_key(clf_line("01/Mar/2024:00:00:00", "")) - line_key(clf_line("29/Feb/2024:23:59:59", "")), 1);
  EXPECT_EQ(line_key(clf_line("01/Mar/2023:00:00:00", "")) - line_key(clf_line("28/Feb/2023:23:59:59", "")), 1);
  EXPECT_EQ(line_key(clf_line("01/Mar/2100:00:00:00", "")) - line_key(clf_line("28/Feb/2100:23:59:59", "")), 1);
  EXPECT_EQ(line_key(clf_line("01/Mar/2000:00:00:00", "")) - line_key(clf_line("29/Feb/2000:23:59:59", "")), 1);
  EXPECT_GT(line_key(clf_line("01/Jan/2060:00:00:00", "")), line_key(clf_line("31/Dec/2059:23:59:59", "")));
  EXPECT_GT(line_key(clf_line("01/Jan/2060:00:00:00", "")), line_key(clf_line("15/Jan/2059:03:14:07", "")));
  EXPECT_EQ(line_key(clf_line("01/Jan/2060:00:00:00", "")), key_by_timegm(2060, 0, 1, 0, 0, 0));
  EXPECT_EQ(line_key(clf_line("01/Jan/9999:00:00:00", "")), key_by_timegm(9999, 0, 1, 0, 0, 0));
  EXPECT_EQ(line_key(clf_line("01/Jan/1900:00:00:00", "")), key_by_timegm(1900, 0, 1, 0, 0, 0));
}

// Fields are not range-checked: out-of-range values run on into the
// neighbouring month, day or hour, as the calendar would count them.
TEST(LineKey, OutOfRangeFieldsRunOn) {
  EXPECT_EQ(line_key(clf_line("00/Mar/2024:00:00:00", "")), line_key(clf_line("29/Feb/2024:00:00:00", "")));
  EXPECT_EQ(line_key(clf_line("45/Jan/2001:00:00:00", "")), line_key(clf_line("14/Feb/2001:00:00:00", "")));
  EXPECT_EQ(line_key(clf_line("01/Jan/2001:99:99:99", "")), key_by_timegm(2001, 0, 1, 99, 99, 99));
}

TEST(LineKey, AgreesWithTimegmOnRandomDates) {
  std::mt19937 rng(42);
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 20000; ++i) {
    const int y = 1000 + static_cast<int>(rng() % 9000);
    const int mo = static_cast<int>(rng() % 12);
    const int d = static_cast<int>(rng() % 100), h = static_cast<int>(rng() % 100);
    const int mi = static_cast<int>(rng() % 100), s = static_cast<int>(rng() % 100);
    char date[64];
    std::snprintf(date, sizeof date, "%02d/%s/%04d:%02d:%02d:%02d", d, months[mo], y, h, mi, s);
    ASSERT_EQ(line_key(clf_line(date, "")), key_by_timegm(y, mo, d, h, mi, s)) << date;
  }
}

TEST(LineKey, NoUsableDateZoneGivesZero) {
  EXPECT_EQ(line_key("no bracket here\n"), kNoDateKey);
  EXPECT_EQ(line_key(""), kNoDateKey);
  EXPECT_EQ(line_key(clf_line("10/oct/2000:13:55:36", "")), kNoDateKey);
  EXPECT_EQ(line_key(clf_line("10/OCT/2000:13:55:36", "")), kNoDateKey);
  EXPECT_EQ(line_key(clf_line("10/Okt/2000:13:55:36", "")), kNoDateKey);
}

// The zone needs 21 bytes after the bracket; the 21st may be anything,
// even the newline, and a last line that lacks its newline keys as if it
// had one.
TEST(LineKey, ShortZones) {
  EXPECT_EQ(line_key("[10/Oct/2000:13:55:36\n"), 340120536);     // 21
  EXPECT_EQ(line_key("[10/Oct/2000:13:55:36"), 340120536);       // 20, and the end
  EXPECT_EQ(line_key("[10/Oct/2000:13:55:3\n"), kNoDateKey);     // 20
  EXPECT_EQ(line_key("[10/Oct/2000:13:55:3"), kNoDateKey);
  EXPECT_EQ(line_key("a [10/Oct/2000:13:55"), kNoDateKey);
}

TEST(LineKey, OnlyTheFirstBracketCounts) {
  EXPECT_EQ(line_key("[x] [10/Oct/2000:13:55:36 -0700]\n"), kNoDateKey);
  // A bracket far into a long line still opens the zone.
  const std::string long_line = std::string(5000, 'a') + clf_line("10/Oct/2000:13:55:36", "");
  EXPECT_EQ(line_key(long_line), 340120536);
}

// Each field reads like atoi on the field alone.
TEST(LineKey, FieldsReadLikeAtoi) {
  const int64_t day0 = line_key(clf_line("00/Oct/2000:13:55:36", ""));
  EXPECT_EQ(line_key(clf_line(" 5/Oct/2000:13:55:36", "")), line_key(clf_line("05/Oct/2000:13:55:36", "")));
  EXPECT_EQ(line_key(clf_line("x5/Oct/2000:13:55:36", "")), day0);
  EXPECT_EQ(line_key(clf_line("5x/Oct/2000:13:55:36", "")), line_key(clf_line("05/Oct/2000:13:55:36", "")));
  EXPECT_EQ(line_key(clf_line("-1/Oct/2000:13:55:36", "")), day0 - 86400);
  EXPECT_EQ(line_key(clf_line("+1/Oct/2000:13:55:36", "")), day0 + 86400);
  EXPECT_EQ(line_key(clf_line("10/Oct/ 200:00:00:00", "")), key_by_timegm(200, 9, 10, 0, 0, 0));
  EXPECT_EQ(line_key(clf_line("10/Oct/20x0:00:00:00", "")), key_by_timegm(20, 9, 10, 0, 0, 0));
  // A NUL is an ordinary non-digit byte, and does not end the line.
  const std::string nul_day = "[\0" "5/Oct/2000:13:55:36 -0700]\n"s;
  EXPECT_EQ(line_key(nul_day), day0);
  const std::string nul_before = "a\0b [10/Oct/2000:13:55:36 -0700]\n"s;
  EXPECT_EQ(line_key(nul_before), 340120536);
}

// The separators are never looked at.
TEST(LineKey, SeparatorsAreNotRead) {
  EXPECT_EQ(line_key("[10-Oct-2000 13.55.36]"), 340120536);
}

// Remembering the last date changes no key: lines of one date, of the next,
// with a month that is no month between, and with the same date bytes but
// other separators or a cut-off zone.
TEST(LineKey, RememberedDatesGiveTheSameKeys) {
  const char* lines[] = {
      "a [10/Oct/2000:13:55:36 -0700] x\n", "b [10/Oct/2000:13:55:37 -0700] x\n",
      "c [10/Oct/2000:23:59:59 -0700] x\n", "d [11/Oct/2000:00:00:00 -0700] x\n",
      "e [11/oct/2000:00:00:01 -0700] x\n", "f [11/Oct/2000:00:00:02 -0700] x\n",
      "g [11/Oct/2000-00-00-03 -0700] x\n", "no date at all\n", "h [11/Oct/2000:00:00:04\n",
      "i [11/Oct/2000:00:00\n", "j [11/Oct/2001:00:00:05 -0700] x\n", "k [11/Oct/2000:00:00:06"};
  key_memo memo;
  for (const char* l : lines) EXPECT_EQ(line_key(l, memo), line_key(l)) << l;
}
