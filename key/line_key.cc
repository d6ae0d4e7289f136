#include "key/line_key.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "key/month_lookup.h"

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
[[gnu::noinline]] int field_value(const unsigned char* p, size_t width) {
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

// Fields are nearly always all digits; take them without the general loop.
inline int two_digit_field(const unsigned char* p) {
  const unsigned d0 = p[0] - 48u, d1 = p[1] - 48u;
  if (d0 < 10 && d1 < 10) [[likely]] return static_cast<int>(d0 * 10 + d1);
  return field_value(p, 2);
}

inline int four_digit_field(const unsigned char* p) {
  const unsigned d0 = p[0] - 48u, d1 = p[1] - 48u, d2 = p[2] - 48u, d3 = p[3] - 48u;
  if (d0 < 10 && d1 < 10 && d2 < 10 && d3 < 10) [[likely]]
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

// Month starts for the years logs are written in, worked out at compile
// time: a lookup instead of the calendar arithmetic on every line.
constexpr int kTableFirstYear = 1900;
constexpr int kTableYears = 256;

struct month_start_table {
  int32_t days[kTableYears * 12];
  constexpr month_start_table() : days() {
    for (int y = 0; y < kTableYears; ++y)
      for (int m = 0; m < 12; ++m)
        days[y * 12 + m] =
            static_cast<int32_t>(days_from_civil(kTableFirstYear + y, m + 1, 1) - kDays1990);
  }
};

constexpr month_start_table kMonthStart;

// Days from 1 January 1990 to year-month-01; month is 1 to 12.
inline int64_t days_to_month_start(int64_t year, int month) {
  const uint64_t slot = static_cast<uint64_t>(year - kTableFirstYear);
  if (slot < kTableYears) return kMonthStart.days[slot * 12 + static_cast<unsigned>(month - 1)];
  return days_from_civil(year, month, 1) - kDays1990;
}

// The first '[' of the line, or nullptr. In access logs it stands within the
// first 32 bytes: look there with two 16-byte compares, inline, before
// calling memchr for the rest.
inline const char* first_bracket(std::string_view line) {
#if defined(__SSE2__)
  if (line.size() >= 32) {
    const __m128i want = _mm_set1_epi8('[');
    const auto* p = reinterpret_cast<const __m128i*>(line.data());
    const unsigned lo = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p), want)));
    const unsigned hi = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p + 1), want)));
    const unsigned both = lo | (hi << 16);
    if (both != 0) return line.data() + __builtin_ctz(both);
    return static_cast<const char*>(std::memchr(line.data() + 32, '[', line.size() - 32));
  }
#endif
  return static_cast<const char*>(std::memchr(line.data(), '[', line.size()));
}

// The date zone of a line, or nullptr when it has none that can be read.
inline const unsigned char* date_zone(std::string_view line) {
  const char* found = first_bracket(line);
  if (found == nullptr) return nullptr;
  const size_t bracket = static_cast<size_t>(found - line.data());
  // The newline that ends a line counts even where an input's last line
  // lacks it, so that the same bytes get the same key wherever they stand
  // (and a merged file, whose last line has gained a newline, merges again
  // exactly as its inputs did).
  const size_t after = line.size() - bracket - 1 + (line.back() != '\n');
  if (after < kZoneTail) return nullptr;
  return reinterpret_cast<const unsigned char*>(found);
}

// Days from 1 January 1990 to the zone's date, or kNoMonth when its month
// is none of the twelve.
constexpr int64_t kNoMonth = INT64_MIN;
inline int64_t zone_days(const unsigned char* z) {
  const int month = month_lookup(reinterpret_cast<const char*>(z + kMonth));
  if (month < 0) return kNoMonth;
  return days_to_month_start(four_digit_field(z + kYear), month + 1) + two_digit_field(z + kDay);
}

inline int64_t zone_key(const unsigned char* z, int64_t days) {
  return days * 86400 + int64_t{two_digit_field(z + kHour)} * 3600 +
         int64_t{two_digit_field(z + kMinute)} * 60 + two_digit_field(z + kSecond);
}

}  // namespace

int64_t line_key(std::string_view line) {
  const unsigned char* z = date_zone(line);
  if (z == nullptr) return kNoDateKey;
  const int64_t days = zone_days(z);
  return days == kNoMonth ? kNoDateKey : zone_key(z, days);
}

int64_t line_key(std::string_view line, key_memo& memo) {
  const unsigned char* z = date_zone(line);
  if (z == nullptr) return kNoDateKey;
  // "dd/Mon/yyyy": every byte the day count depends on, in two loads.
  uint64_t head;
  uint32_t tail;
  std::memcpy(&head, z + kDay, sizeof head);
  std::memcpy(&tail, z + kYear, sizeof tail);
  if (!memo.valid || head != memo.head || tail != memo.tail) {
    memo.days = zone_days(z);
    memo.head = head;
    memo.tail = tail;
    memo.valid = true;
  }
  return memo.days == kNoMonth ? kNoDateKey : zone_key(z, memo.days);
}
