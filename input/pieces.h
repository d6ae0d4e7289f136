// Pieces: what a format's row offers so that the pool's threads decode
// one file on many cores (format_ops::pieces). Internal to input/.
#pragma once

#include <cstddef>
#include <cstdint>

// Pieces: parts of a member that decode alone (bzip2 blocks), so that the
// pool's threads decode one file on many cores. A scanner walks the file
// ahead of decoding and marks the pieces without decoding them; each piece
// is then decoded by whichever thread takes it, and checked whole before
// any of its bytes go out. Whatever the scanner does not know for sure
// (damage, a cut, what follows a member) it hands back to the member loop,
// which decodes on from the start of that member, or from a boundary, as
// it would have decoded from the start, so that bytes, errors and where
// they are found never depend on the path.
struct piece {
  uint64_t from = 0, to = 0;  // its bits in the file
  uint64_t member = 0;        // the offset of the member it is part of
  uint32_t word = 0;          // the format's own (bzip2: the level digit)
};
enum class scan_kind {
  more,        // read on: keep the bytes from `keep` on
  piece,       // a piece, whose bytes are at hand
  sequential,  // decode on in the member loop from `offset`: a member's
               // start (in_member; its bytes already given are skipped)
               // or the boundary after a complete member
};
struct scan_step {
  scan_kind kind = scan_kind::more;
  piece p;
  uint64_t keep = 0;
  uint64_t offset = 0;
  bool in_member = false;
};
// Where a piece's bytes go: a buffer the caller can grow.
struct piece_out {
  char* buf = nullptr;
  size_t cap = 0;
  size_t len = 0;
  // Makes cap larger, keeping the first len bytes. False: no memory.
  bool (*grow)(piece_out& out, void* arg) = nullptr;
  void* arg = nullptr;
};
struct piece_ops {
  void* (*make_scanner)();  // nullptr when out of memory
  void (*free_scanner)(void* scanner);
  // Looks on at the file's bytes [at, at + n) (those it asked to keep
  // and more); eof: the file ends there.
  scan_step (*scan)(void* scanner, const unsigned char* p, size_t n, uint64_t at, bool eof);
  void* (*make)();  // a decoding thread's state; nullptr when out of memory
  void (*free)(void* state);
  // Takes what it needs of piece `pc`, whose first bit is in p[0] (the
  // bytes are the scanner's, and change once it scans on). False: no memory.
  bool (*take)(void* state, const unsigned char* p, const piece& pc);
  // Decodes the piece taken into out and checks it. False when it does not
  // decode whole and sound: the member loop then tells why.
  bool (*decode)(void* state, piece_out& out);
};

// A scanner's answers.
inline scan_step scan_more(uint64_t keep) {
  scan_step r;
  r.keep = keep;
  return r;
}
inline scan_step scan_sequential(uint64_t offset, bool in_member) {
  scan_step r;
  r.kind = scan_kind::sequential;
  r.offset = offset;
  r.in_member = in_member;
  return r;
}
inline scan_step scan_piece(const piece& p) {
  scan_step r;
  r.kind = scan_kind::piece;
  r.p = p;
  return r;
}
