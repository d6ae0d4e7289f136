// The compressed formats: one row each, defined in the format's own file
// (gzip.cc, bzip2.cc, ...) and listed once in formats.cc. Sniffing, the
// names in messages and the member loop all go through the table, so a new
// format is one file, one row and one line in CMakeLists.txt. Internal to
// input/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The libraries take 32-bit lengths: offer them at most that much at once.
inline uint32_t clamp32(size_t n) {
  return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}


// What the first bytes of an input say of one format.
enum class sniff_result {
  no,     // not this format
  yes,    // this format's full signature
  maybe,  // a true start of the signature: more bytes will tell
};

// What one call of the library did.
struct member_step {
  size_t used = 0;      // input bytes consumed
  size_t made = 0;      // output bytes produced
  bool ended = false;   // the member is complete and its checks passed
  bool failed = false;  // the data cannot be decoded
  bool no_memory = false;
  const char* problem = nullptr;  // with failed: a more exact text, if any
  // With nothing used or made: the step needs this many bytes at hand at
  // once (a header) before it can go on. The input ending sooner is a
  // truncated member.
  size_t want = 0;
};

// What stands after a complete member.
enum class boundary_kind {
  member,       // another member begins here
  skip,         // padding the format allows: pass over `skip` bytes
  garbage,      // bytes that begin no member
  truncated,    // the start of a member, cut off by the end of the input
  corrupt,      // bytes the format forbids here (its tool calls the data corrupt)
  ignore_rest,  // data the format lets follow its members: the end
};
struct boundary {
  boundary_kind kind;
  size_t skip = 0;
};

// Bytes the loop makes available, where the input has them, before asking
// a format what follows a member.
inline constexpr size_t kBoundaryBytes = 6;

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
scan_step scan_more(uint64_t keep);
scan_step scan_sequential(uint64_t offset, bool in_member);
scan_step scan_piece(const piece& p);

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

// What a format gives the member loop in decoder.cc. The state is the
// format's own, made by `make` and freed by `free`.
struct format_ops {
  void* (*make)();             // nullptr when out of memory
  void (*free)(void* state);
  bool (*begin)(void* state);  // ready for a new member; false: no memory
  // Decodes from in into out as far as it can.
  member_step (*step)(void* state, const unsigned char* in, size_t in_len, char* out,
                      size_t out_len);
  // What the n bytes after a complete member are. n >= kBoundaryBytes unless
  // the input ends sooner (then eof is true).
  boundary (*follows)(const unsigned char* p, size_t n, bool eof);
  const piece_ops* pieces = nullptr;  // null: one member at a time
  // Formats that may decode on threads of their library's own (xz) are
  // given their set's count of such decoders: one at a time may.
  void (*share_threads)(void* state, std::atomic<unsigned>* threaded) = nullptr;
  // Formats whose library finds a block bad only once it has written the
  // block's bytes (bzip2) hold those bytes until the check passes. Told
  // `on`, they hand them out at once instead: a first line then costs the
  // start of a block, not all of it, and its reader must read it again,
  // checked, before the line is written. Null: bytes always come checked.
  void (*unchecked)(void* state, bool on) = nullptr;
  // Members that end with a check (gzip, zstd, lz4, lzip): the member loop
  // holds a member's text until the member has ended and passed, up to
  // kHeldMost bytes; the text of a larger member goes out as its tool
  // writes it, before its check. Not when told unchecked.
  bool hold_members = false;
};

// The most of a member's text held until its check passes.
inline constexpr size_t kHeldMost = size_t{1} << 20;

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

// One row of the table.
struct input_format {
  const char* name;       // "gzip"
  const char* truncated;  // "truncated gzip data"
  const char* corrupt;    // "corrupt gzip data"
  const char* not_built;  // "gzip input, but this build has no gzip support",
                          // or why such data is refused
  // The full signature at the start of an input (n bytes of it).
  sniff_result (*sniff)(const unsigned char* p, size_t n);
  const format_ops* ops;  // null where the build leaves the format out
};

// The four texts of a row, made from the format's name.
#define BRAIDLOGS_FORMAT_TEXTS(name) \
  name, "truncated " name " data", "corrupt " name " data", \
      name " input, but this build has no " name " support"

// Every format, built or not, in the order they are tried.
std::span<const input_format* const> input_formats();

// The row named `name`, or nullptr.
const input_format* format_named(std::string_view name);

// The format whose full signature the first n bytes hold, or nullptr for
// plain text. Text that only starts like a signature ("BZh" in a log line)
// is text. *undecided (when given) is set when some format's signature
// could still follow from more bytes.
const input_format* sniff_format(const unsigned char* p, size_t n, bool* undecided = nullptr);

// A signature of fixed bytes, compared where n has them. Inline, and a
// byte at a time: every input is sniffed against every format, and a log
// line's first byte rules out nearly all of them.
inline sniff_result sniff_magic(const unsigned char* p, size_t n, const unsigned char* magic,
                                size_t len) {
  const size_t have = n < len ? n : len;
  for (size_t i = 0; i < have; ++i)
    if (p[i] != magic[i]) return sniff_result::no;
  return have < len ? sniff_result::maybe : sniff_result::yes;
}

// The usual boundary test: a member begins with `magic`. Bytes that differ
// from it are garbage; a true prefix of it cut off by the end of the input
// is a truncated member.
boundary boundary_by_magic(const unsigned char* p, size_t n, bool eof,
                           const unsigned char* magic, size_t len);
