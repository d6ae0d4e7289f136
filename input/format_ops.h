// What each compressed format provides to the member loop in decoder.cc.
// Internal to input/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/decoder.h"

// The libraries take 32-bit lengths: offer them at most that much at once.
inline uint32_t clamp32(size_t n) {
  return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

// What one call of the library did.
struct member_step {
  size_t used = 0;      // input bytes consumed
  size_t made = 0;      // output bytes produced
  bool ended = false;   // the member is complete and its checks passed
  bool failed = false;  // the data cannot be decoded
  bool no_memory = false;
  const char* problem = nullptr;  // with failed: a more exact text, if any
};

// What stands after a complete member.
enum class boundary_kind {
  member,     // another member begins here
  skip,       // padding the format allows: pass over `skip` bytes
  garbage,    // bytes that begin no member
  truncated,  // the start of a member, cut off by the end of the input
};
struct boundary {
  boundary_kind kind;
  size_t skip = 0;
};

// Bytes the loop makes available, where the input has them, before asking
// a format what follows a member.
inline constexpr size_t kBoundaryBytes = 6;

struct format_ops {
  bool (*start)(decoder& d);   // allocates d.state; false when out of memory
  void (*finish)(decoder& d);  // frees it
  bool (*begin)(void* state);  // ready for a new member; false: no memory
  // Decodes from in into out as far as it can.
  member_step (*step)(void* state, const unsigned char* in, size_t in_len, char* out,
                      size_t out_len);
  // What the n bytes after a complete member are. n >= kBoundaryBytes unless
  // the input ends sooner (then eof is true).
  boundary (*follows)(const unsigned char* p, size_t n, bool eof);
};

// Null where the build leaves the format out.
extern const format_ops* const gzip_ops;
extern const format_ops* const bzip2_ops;
extern const format_ops* const xz_ops;
extern const format_ops* const zstd_ops;

// The usual boundary test: a member begins with `magic`. Bytes that differ
// from it are garbage; a true prefix of it cut off by the end of the input
// is a truncated member.
boundary boundary_by_magic(const unsigned char* p, size_t n, bool eof,
                           const unsigned char* magic, size_t len);
