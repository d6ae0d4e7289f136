// Month-name lookup for Common Log Format dates.
#pragma once

#include <cstdint>

namespace month_tables {
// A perfect hash over the twelve month names: 3 + weight[b0] + weight[b1] +
// weight[b2] lands each name on its own slot among 0 to 33. A byte that
// occurs in no month name weighs 34, which pushes the sum past the last slot.
inline constexpr unsigned kSlots = 34;
struct weight_table {
  uint8_t of[256];
};
extern const weight_table weight;
// Each slot: the three bytes of its name, first byte lowest, and the month
// number in the top byte; 0 for an empty slot.
extern const uint32_t slot[kSlots];
}  // namespace month_tables

// Returns the month number (Jan 0 ... Dec 11) of the three bytes at `name`,
// or -1 when they are not exactly one of the twelve English abbreviations
// ("Jan" to "Dec", upper-case first letter, lower-case rest). Reads exactly
// three bytes.
inline int month_lookup(const char* name) {
  using namespace month_tables;
  const auto b0 = static_cast<unsigned char>(name[0]);
  const auto b1 = static_cast<unsigned char>(name[1]);
  const auto b2 = static_cast<unsigned char>(name[2]);
  const unsigned h = 3u + weight.of[b0] + weight.of[b1] + weight.of[b2];
  if (h >= kSlots) return -1;
  // Three bytes whose weights sum below 34 are never all zero, so they
  // never match an empty slot.
  const uint32_t packed = b0 | (uint32_t{b1} << 8) | (uint32_t{b2} << 16);
  const uint32_t entry = slot[h];
  if ((entry & 0xffffff) != packed) return -1;
  return static_cast<int>(entry >> 24);
}
