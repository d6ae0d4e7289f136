#include "key/month_lookup.h"

namespace month_tables {
namespace {

constexpr weight_table make_weights() {
  weight_table t{};
  for (int i = 0; i < 256; ++i) t.of[i] = 34;
  const char* letters = "ADFJMNOSaybceglnoprtuv";
  const uint8_t weights[] = {15, 8, 5, 0, 10, 3, 14, 9, 10, 10, 0,
                             0,  0, 10, 4, 0, 0,  0, 0, 0,  0,  0};
  for (int i = 0; letters[i] != '\0'; ++i) t.of[static_cast<unsigned char>(letters[i])] = weights[i];
  return t;
}

constexpr uint32_t pack(const char (&s)[4]) {
  return static_cast<unsigned char>(s[0]) | (uint32_t{static_cast<unsigned char>(s[1])} << 8) |
         (uint32_t{static_cast<unsigned char>(s[2])} << 16);
}

}  // namespace

constinit const weight_table weight = make_weights();

#define M(name, number) (pack(name) | (uint32_t{number} << 24))
const uint32_t slot[kSlots] = {
    0, 0, 0, M("Jun", 5), 0, 0, M("Nov", 10), M("Jul", 6), M("Feb", 1), 0, 0,
    M("Dec", 11), M("Sep", 8), M("Jan", 0), 0, 0, 0, M("Oct", 9), M("Apr", 3), 0, 0,
    0, 0, M("Mar", 2), 0, 0, 0, 0, M("Aug", 7), 0, 0, 0,
    0, M("May", 4),
};
#undef M

}  // namespace month_tables
