// Reading the fields of compressed data, shared by the formats. Internal
// to input/.
#pragma once

#include <cstddef>
#include <cstdint>

// The libraries take 32-bit lengths: offer them at most that much at once.
inline uint32_t clamp32(size_t n) {
  return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

// A little-endian 32-bit field.
inline uint32_t le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
// The bytes of the skippable frame that zstd and lz4 share (magic
// 0x184D2A50 to 0x184D2A5F, then the size of what follows) at q, which
// holds 8 bytes; 0 when it is none.
inline uint64_t skippable_frame_size(const unsigned char* q) {
  return (le32(q) & 0xfffffff0) == 0x184d2a50 ? 8 + uint64_t{le32(q + 4)} : 0;
}
