// What bzip2's member loop (bzip2.cc) and its pieces (bzip2_pieces.cc,
// a stream's blocks decoded one at a time on any thread) share of the
// stream's structure. Internal to input/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/format.h"
#include "input/pieces.h"

// The 48-bit magics that open a block (the digits of pi) and end a stream
// (of the square root of pi), at any bit offset in the stream.
inline constexpr uint64_t kBzBlockMagic = 0x314159265359;
inline constexpr uint64_t kBzEndMagic = 0x177245385090;
inline constexpr uint64_t kBzNone = UINT64_MAX;

// With `window` holding the last bytes up to byte `scanned`: the bit at
// which the earliest block or end magic that ends in the last byte starts,
// if at or past bit `from`; else kBzNone.
uint64_t bz_magic_ending(uint64_t window, uint64_t scanned, uint64_t from);

// What follows a stream's end: another stream, garbage, or too little to
// tell.
boundary bz_follows(const unsigned char* p, size_t n, bool eof);

extern const piece_ops bzip2_pieces;
