#include "key/month_lookup.h"

#include <gtest/gtest.h>

#include <string>

TEST(MonthLookup, FindsEveryMonthByItsNumber) {
  const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int m = 0; m < 12; ++m) EXPECT_EQ(month_lookup(names[m]), m) << names[m];
}

// Every one of the 2^24 three-byte strings: exactly the twelve names match.
TEST(MonthLookup, NoOtherThreeBytesMatch) {
  int found = 0;
  char s[3];
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b)
      for (int c = 0; c < 256; ++c) {
        s[0] = static_cast<char>(a);
        s[1] = static_cast<char>(b);
        s[2] = static_cast<char>(c);
        if (month_lookup(s) >= 0) ++found;
      }
  EXPECT_EQ(found, 12);
}

TEST(MonthLookup, CaseMatters) {
  EXPECT_EQ(month_lookup("jan"), -1);
  EXPECT_EQ(month_lookup("JAN"), -1);
  EXPECT_EQ(month_lookup("MAY"), -1);
  EXPECT_EQ(month_lookup("dec"), -1);
}
