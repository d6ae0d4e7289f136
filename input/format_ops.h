// The functions each compressed format provides to the decoder. Internal
// to decode/.
#pragma once

#include "input/decoder.h"

struct format_ops {
  bool (*start)(decoder& d);  // allocate d.state; false when out of memory
  ssize_t (*read)(decoder& d, char* out, size_t n);
  void (*finish)(decoder& d);
};

// Null where the build leaves the format out.
extern const format_ops* const gzip_ops;
extern const format_ops* const bzip2_ops;
extern const format_ops* const xz_ops;
extern const format_ops* const zstd_ops;

// The messages for damaged data, one pair per format.
const char* truncated_text(compression c);
const char* corrupt_text(compression c);
