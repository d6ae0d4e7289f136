// The pieces of a format whose pieces are whole members that say their
// size (zstd and lz4 frames, BGZF members): one scanner and one piece
// decoder for them all (member_pieces.cc), given the format's size_of and
// its own step. Internal to input/.
#pragma once

#include <cstdint>

#include "input/format.h"
#include "input/pieces.h"

// Pieces that are whole members (zstd frames, BGZF members), whose bounds
// their headers tell: decoded by the format's own step, as the member loop
// would decode them, and sound only when the member ends exactly at the
// piece's end. A format's row is member_pieces<its size_of, its ops>().
//
// The scanner's state is the offset of the next member. A piece is one
// member, or several small ones in a row (BGZF's are 64 KiB of text),
// up to kGroupBytes. What a member's header says of its size, from the
// `have` bytes at hand at q:
inline constexpr uint64_t kGroupBytes = uint64_t{64} << 10;
// A member larger than this stays with the member loop: its text would
// outgrow the pool's largest block (pzstd's frames of 8 MB of text decoded
// as pieces were 15% slower than in the member loop, for the memory they
// take afresh).
inline constexpr uint64_t kLargestMember = uint64_t{256} << 10;
struct member_size {
  enum { known, more, hand_back } kind = hand_back;  // more: too few bytes at hand
  uint64_t size = 0;  // known: the member's bytes
};
using member_size_fn = member_size (*)(const unsigned char* q, uint64_t have);
void* member_scanner_make();
void member_scanner_free(void* scanner);
scan_step member_scan(void* scanner, const unsigned char* p, size_t n, uint64_t at, bool eof,
                      member_size_fn size_of);
void* member_piece_make(const struct format_ops& ops);
void member_piece_free(void* state);
bool member_piece_take(void* state, const unsigned char* p, const piece& pc);
bool member_piece_decode(void* state, piece_out& out);

// The piece row of a format whose pieces are whole members: the members'
// sizes from size_of, decoded by the format's own `ops`.
template <member_size_fn size_of>
scan_step member_scan_with(void* scanner, const unsigned char* p, size_t n, uint64_t at,
                           bool eof) {
  return member_scan(scanner, p, n, at, eof, size_of);
}
template <const format_ops* ops>
void* member_piece_make_with() {
  return member_piece_make(*ops);
}
template <member_size_fn size_of, const format_ops* ops>
constexpr piece_ops member_pieces() {
  return {member_scanner_make, member_scanner_free, member_scan_with<size_of>,
          member_piece_make_with<ops>, member_piece_free, member_piece_take,
          member_piece_decode};
}
