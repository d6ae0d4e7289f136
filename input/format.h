// The compressed formats: one row each, defined in the format's own file
// (gzip.cc, bzip2.cc, ...) and listed once in formats.cc. Sniffing, the
// names in messages and the member loop all go through the table, so a new
// format is one file, one row and one line in CMakeLists.txt. What a row
// offers for decoding one file on many threads is in pieces.h (and
// member_pieces.h for formats whose members say their size); the byte
// readers the formats share, in bytes.h. Internal to input/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "input/bytes.h"

struct piece_ops;  // pieces.h

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

// Text held until its check passes: `len` bytes held, of which `ready`
// have passed and `given` have gone out.
struct held_text {
  std::unique_ptr<char[]> buf;
  size_t cap = 0, len = 0, ready = 0, given = 0;
};
// Makes the buffer `bigger` bytes long, keeping what it holds. False: no
// memory (the buffer is as it was).
bool held_grow(held_text& h, size_t bigger);
// Hands out up to n bytes that have passed, and returns how many; once all
// that passed has gone out, what is still held moves to the start.
size_t held_give(held_text& h, char* out, size_t n);
inline void held_clear(held_text& h) { h.len = h.ready = h.given = 0; }

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
