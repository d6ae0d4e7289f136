// line_key on arbitrary bytes agrees with a slow, obviously correct
// reckoning: the bracket found by a plain loop, each field read by the C
// library's own atoi on a copy, the month by comparing names, the days by
// counting the calendar year by year and month by month.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "key/line_key.h"

namespace {

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_days(int64_t y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 1 && leap(y) ? 29 : days[m];
}

// Days from 1990-01-01 to y-(m+1)-01, counted one year and month at a time.
int64_t slow_days(int64_t y, int m) {
  int64_t d = 0;
  for (int64_t yy = 1990; yy < y; ++yy) d += leap(yy) ? 366 : 365;
  for (int64_t yy = y; yy < 1990; ++yy) d -= leap(yy) ? 366 : 365;
  for (int mm = 0; mm < m; ++mm) d += month_days(y, mm);
  return d;
}

int field(std::string_view zone, size_t at, size_t width) {
  const std::string copy(zone.substr(at, width));  // NUL-terminated
  return std::atoi(copy.c_str());
}

int64_t slow_key(std::string_view line) {
  size_t bracket = 0;
  while (bracket < line.size() && line[bracket] != '[') ++bracket;
  // Counting the newline that ends the line, present or not.
  const bool has_newline = !line.empty() && line.back() == '\n';
  if (bracket == line.size() || line.size() - bracket - 1 + !has_newline < 21) return 0;
  const std::string_view z = line.substr(bracket);
  static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int month = -1;
  for (int m = 0; m < 12; ++m)
    if (z.substr(4, 3) == names[m]) month = m;
  if (month < 0) return 0;
  const int64_t days = slow_days(field(z, 8, 4), month) + field(z, 1, 2);
  return days * 86400 + field(z, 13, 2) * 3600 + field(z, 16, 2) * 60 + field(z, 19, 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that any read past the line is caught.
  char* copy = static_cast<char*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  const std::string_view line(copy, size);
  const int64_t fast = line_key(line), slow = slow_key(line);
  if (fast != slow) std::abort();
  // Keyed line after line with the date of the line before remembered, the
  // data's lines key exactly as they do alone.
  key_memo memo;
  for (size_t at = 0; at < line.size();) {
    size_t nl = line.find('\n', at);
    nl = nl == std::string_view::npos ? line.size() : nl + 1;
    const std::string_view l = line.substr(at, nl - at);
    if (line_key(l, memo) != line_key(l)) std::abort();
    at = nl;
  }
  // A line keys alike with and without its newline.
  if (line.find('\n') == std::string_view::npos && line_key(std::string(line) + '\n') != fast)
    std::abort();
  std::free(copy);
  return 0;
}
