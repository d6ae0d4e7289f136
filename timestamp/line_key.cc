#include "timestamp/line_key.h"

#include <cstring>

#include "timestamp/month_lookup.h"

namespace {

// Offsets of the fields from the '[' that opens the date zone.
constexpr size_t kDay = 1, kMonth = 4, kYear = 8, kHour = 13, kMinute = 16,
                 kSecond = 19;
// Bytes that must follow the bracket for the zone to be read at all: up to
// and including the separator after the seconds.
constexpr size_t kZoneTail = 21;

bool is_c_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// atoi on a field of `width` bytes that ends where the field ends.
int field_value(const unsigned char* p, size_t width) {
  size_t i = 0;
  while (i < width && is_c_space(p[i])) ++i;
  bool negative = false;
  if (i < width && (p[i] == '+' || p[i] == '-')) {
    negative = p[i] == '-';
    ++i;
  }
  int v = 0;
  for (; i < width && p[i] >= '0' && p[i] <= '9'; ++i) v = v * 10 + (p[i] - '0');
  return negative ? -v : v;
}

// Two-digit fields are nearly always two digits; take them without the
// general loop.
inline int two_digit_field(const unsigned char* p) {
  const unsigned d0 = p[0] - '0', d1 = p[1] - '0';
  if (d0 < 10 && d1 < 10) return static_cast<int>(d0 * 10 + d1);
  return field_value(p, 2);
}

inline int four_digit_field(const unsigned char* p) {
  const unsigned d0 = p[0] - '0', d1 = p[1] - '0', d2 = p[2] - '0',
                 d3 = p[3] - '0';
  if (d0 < 10 && d1 < 10 && d2 < 10 && d3 < 10)
    return static_cast<int>(d0 * 1000 + d1 * 100 + d2 * 10 + d3);
  return field_value(p, 4);
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian), for any year.
constexpr int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;                                 // 0..399
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // 0..365
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;         // 0..146096
  return era * 146097 + doe - 719468;
}

constexpr int64_t kDays1990 = days_from_civil(1990, 1, 1);

}  // namespace

int64_t days_to_month_start(int64_t year, int month) {
  return days_from_civil(year, month, 1) - kDays1990;
}

int64_t line_key(std::string_view line) {
  const void* found = std::memchr(line.data(), '[', line.size());
  if (found == nullptr) return kNoDateKey;
  const auto* z = static_cast<const unsigned char*>(found);
  const size_t bracket = static_cast<size_t>(static_cast<const char*>(found) - line.data());
  const size_t after = line.size() - bracket - 1;
  if (after < kZoneTail) return kNoDateKey;

  const int month = month_lookup(reinterpret_cast<const char*>(z + kMonth));
  if (month < 0) return kNoDateKey;
  const int day = two_digit_field(z + kDay);
  const int year = four_digit_field(z + kYear);
  const int hour = two_digit_field(z + kHour);
  const int minute = two_digit_field(z + kMinute);
  const int second = two_digit_field(z + kSecond);

  const int64_t days = days_to_month_start(year, month + 1) + day;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}
