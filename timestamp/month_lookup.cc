#include "timestamp/month_lookup.h"

#include <cstdint>

namespace {

// A perfect hash over the twelve month names: 3 + A[b0] + A[b1] + A[b2]
// lands each name on its own slot of a 34-slot table. Every byte that occurs
// in no month name weighs 34, which pushes the sum past the last slot.
struct weight_table {
  uint8_t a[256];
  constexpr weight_table() : a() {
    for (int i = 0; i < 256; ++i) a[i] = 34;
    const char* letters = "ADFJMNOSaybceglnoprtuv";
    const uint8_t weights[] = {15, 8, 5, 0, 10, 3, 14, 9, 10, 10, 0,
                               0,  0, 10, 4, 0, 0,  0, 0, 0,  0,  0};
    for (int i = 0; letters[i] != '\0'; ++i)
      a[static_cast<unsigned char>(letters[i])] = weights[i];
  }
};

constexpr weight_table kWeight;

struct month_slot {
  const char* name;  // nullptr for an empty slot
  int number;
};

constexpr int kSlots = 34;
constexpr month_slot kSlot[kSlots] = {
    {nullptr, -1}, {nullptr, -1}, {nullptr, -1}, {"Jun", 5},     {nullptr, -1},
    {nullptr, -1}, {"Nov", 10},   {"Jul", 6},    {"Feb", 1},     {nullptr, -1},
    {nullptr, -1}, {"Dec", 11},   {"Sep", 8},    {"Jan", 0},     {nullptr, -1},
    {nullptr, -1}, {nullptr, -1}, {"Oct", 9},    {"Apr", 3},     {nullptr, -1},
    {nullptr, -1}, {nullptr, -1}, {nullptr, -1}, {"Mar", 2},     {nullptr, -1},
    {nullptr, -1}, {nullptr, -1}, {nullptr, -1}, {"Aug", 7},     {nullptr, -1},
    {nullptr, -1}, {nullptr, -1}, {nullptr, -1}, {"May", 4},
};

}  // namespace

int month_lookup(const char* name) {
  const unsigned char b0 = static_cast<unsigned char>(name[0]);
  const unsigned char b1 = static_cast<unsigned char>(name[1]);
  const unsigned char b2 = static_cast<unsigned char>(name[2]);
  const unsigned h = 3u + kWeight.a[b0] + kWeight.a[b1] + kWeight.a[b2];
  if (h >= kSlots) return -1;
  const month_slot& s = kSlot[h];
  if (s.name == nullptr) return -1;
  if (b0 != static_cast<unsigned char>(s.name[0]) ||
      b1 != static_cast<unsigned char>(s.name[1]) ||
      b2 != static_cast<unsigned char>(s.name[2]))
    return -1;
  return s.number;
}
