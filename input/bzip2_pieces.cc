#include "input/bzip2_pieces.h"

#if defined(BRAIDLOGS_BZIP2)
#include <bzlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "input/format.h"

namespace {

// Pieces: a stream's blocks, one at a time on any thread. A block is
// decoded alone by wrapping it as a stream of one block: the stream's
// header, the block's bits shifted to follow it, then the end-of-stream
// magic with the block's CRC as the stream's, so that libbz2 checks the
// block's bytes against its CRC. The scanner finds blocks by their magic,
// a block starting where the one before it ended; a magic that turns up
// inside a block's data only cuts it short, and such a piece fails to
// decode, so the member loop decodes that stream itself. The scanner
// checks the stream's combined CRC over the blocks' stored CRCs, in order.

// The bits [bit, bit + n) of the file (n <= 56), p holding its byte `base`.
uint64_t bits_at(const unsigned char* p, uint64_t base, uint64_t bit, unsigned n) {
  const unsigned char* q = p + (bit / 8 - base);
  const unsigned shift = static_cast<unsigned>(bit % 8);
  const unsigned bytes = (shift + n + 7) / 8;
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v = v << 8 | q[i];
  return (v >> (bytes * 8 - shift - n)) & ((uint64_t{1} << n) - 1);
}

struct bz_scanner {
  enum class at { head, magic, body } phase = at::head;
  uint64_t pos = 0;       // head: the offset where a stream may start
  uint64_t member = 0;    // the stream being scanned: its offset,
  uint32_t level = 0;     // its block-size digit,
  uint32_t combined = 0;  // and its CRC over the blocks so far
  uint64_t a = 0;         // magic: the bit where a magic must stand; body: the block's
  uint64_t scanned = 0;   // body: the bytes looked at, and the last 8 of them
  uint64_t window = 0;
};

scan_step bz_scan(void* scanner, const unsigned char* p, size_t n, uint64_t at, bool eof) {
  auto& s = *static_cast<bz_scanner*>(scanner);
  const uint64_t end = at + n;
  for (;;) {
    switch (s.phase) {
      case bz_scanner::at::head: {  // a stream, or what the member loop is to judge
        if (s.pos + 4 > end) return eof ? scan_sequential(s.pos, false) : scan_more(s.pos);
        const unsigned char* q = p + (s.pos - at);
        if (bz_follows(q, 4, false).kind != boundary_kind::member)  // as the member loop decides
          return scan_sequential(s.pos, false);
        s.member = s.pos;
        s.level = q[3];
        s.combined = 0;
        s.a = s.pos * 8 + 32;
        s.phase = bz_scanner::at::magic;
        break;
      }
      case bz_scanner::at::magic: {  // a block's magic and CRC, or the end's
        if ((s.a + 80 + 7) / 8 > end)
          return eof ? scan_sequential(s.member, true) : scan_more(s.a / 8);
        const uint64_t magic = bits_at(p, at, s.a, 48);
        const auto crc = static_cast<uint32_t>(bits_at(p, at, s.a + 48, 32));
        if (magic == kBzEndMagic) {
          if (crc != s.combined) return scan_sequential(s.member, true);
          s.pos = (s.a + 80 + 7) / 8;
          s.phase = bz_scanner::at::head;
          break;
        }
        if (magic != kBzBlockMagic) return scan_sequential(s.member, true);
        s.combined = (s.combined << 1 | s.combined >> 31) ^ crc;
        s.scanned = (s.a + 80) / 8;
        s.window = 0;
        for (uint64_t i = s.scanned - 8; i < s.scanned; ++i) s.window = s.window << 8 | p[i - at];
        s.phase = bz_scanner::at::body;
        break;
      }
      case bz_scanner::at::body: {  // the next magic ends the block
        while (s.scanned < end) {
          s.window = s.window << 8 | p[s.scanned - at];
          ++s.scanned;
          const uint64_t e = bz_magic_ending(s.window, s.scanned, s.a + 80);
          if (e == kBzNone) continue;
          const piece p{s.a, e, s.member, s.level};
          s.a = e;
          s.phase = bz_scanner::at::magic;
          return scan_piece(p);
        }
        return eof ? scan_sequential(s.member, true) : scan_more(s.a / 8);
      }
    }
  }
}

void* bz_make_scanner() { return new (std::nothrow) bz_scanner; }
void bz_free_scanner(void* scanner) { delete static_cast<bz_scanner*>(scanner); }

// A decoding thread's: libbz2's stream, the buffers libbz2 asked for kept
// for its next block (a block's tables are megabytes, and new ones cost a
// page fault a page), and the piece taken, wrapped as a stream.
struct bz_piece_state {
  bz_stream s{};
  struct kept {
    void* p = nullptr;
    size_t size = 0;
  } kept[4];
  std::unique_ptr<unsigned char[]> wrap;
  size_t cap = 0, len = 0;
};

// Each buffer carries its size before it, for the next request.
constexpr size_t kSizeHead = 16;

void* bz_alloc(void* opaque, int items, int size) {
  auto* st = static_cast<bz_piece_state*>(opaque);
  const size_t want = static_cast<size_t>(items) * static_cast<size_t>(size);
  for (auto& k : st->kept) {
    if (k.p == nullptr || k.size != want) continue;
    void* p = k.p;
    k.p = nullptr;
    return static_cast<char*>(p) + kSizeHead;
  }
  auto* p = static_cast<char*>(std::malloc(want + kSizeHead));
  if (p == nullptr) return nullptr;
  std::memcpy(p, &want, sizeof want);
  return p + kSizeHead;
}

void bz_release(void* opaque, void* given) {
  auto* st = static_cast<bz_piece_state*>(opaque);
  char* p = static_cast<char*>(given) - kSizeHead;
  for (auto& k : st->kept) {
    if (k.p != nullptr) continue;
    k.p = p;
    std::memcpy(&k.size, p, sizeof k.size);
    return;
  }
  std::free(p);
}

// Writes the n bits of v (n <= 32) at bit `bit` of p, whose bits from
// there on are zero.
void put_bits(unsigned char* p, uint64_t bit, uint64_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i, ++bit)
    if ((v >> (n - 1 - i)) & 1) p[bit / 8] |= static_cast<unsigned char>(0x80u >> (bit % 8));
}

bool bz_take(void* state, const unsigned char* p, const piece& pc) {
  auto& st = *static_cast<bz_piece_state*>(state);
  const uint64_t nbits = pc.to - pc.from;
  const size_t body = static_cast<size_t>((nbits + 7) / 8);
  const size_t need = 4 + static_cast<size_t>((nbits + 80 + 7) / 8);
  if (st.cap < need) {
    st.wrap.reset(new (std::nothrow) unsigned char[need]);
    st.cap = st.wrap != nullptr ? need : 0;
    if (st.wrap == nullptr) return false;
  }
  unsigned char* w = st.wrap.get();
  w[0] = 'B', w[1] = 'Z', w[2] = 'h', w[3] = static_cast<unsigned char>(pc.word);
  const unsigned shift = static_cast<unsigned>(pc.from % 8);
  // The block's bits, and the bits after it, which are the next magic's
  // and so at hand; those past the block are cleared below.
  for (size_t i = 0; i < body; ++i)
    w[4 + i] =
        static_cast<unsigned char>(shift == 0 ? p[i] : (p[i] << shift | p[i + 1] >> (8 - shift)));
  std::memset(w + 4 + body, 0, need - 4 - body);
  const uint64_t tail = 32 + nbits;
  if (tail % 8 != 0) w[tail / 8] &= static_cast<unsigned char>(0xff00u >> (tail % 8));
  const auto crc = static_cast<uint32_t>(bits_at(p, 0, pc.from % 8 + 48, 32));
  put_bits(w, tail, kBzEndMagic >> 24, 24);
  put_bits(w, tail + 24, kBzEndMagic & 0xffffff, 24);
  put_bits(w, tail + 48, crc, 32);
  st.len = need;
  return true;
}

bool bz_decode(void* state, piece_out& out) {
  auto& st = *static_cast<bz_piece_state*>(state);
  st.s = bz_stream{};
  st.s.bzalloc = bz_alloc;
  st.s.bzfree = bz_release;
  st.s.opaque = &st;
  if (BZ2_bzDecompressInit(&st.s, 0, 0) != BZ_OK) return false;
  st.s.next_in = reinterpret_cast<char*>(st.wrap.get());
  st.s.avail_in = clamp32(st.len);
  int ret = BZ_OK;
  while (ret == BZ_OK) {
    if (out.cap == out.len && !out.grow(out, out.arg)) break;
    st.s.next_out = out.buf + out.len;
    st.s.avail_out = clamp32(out.cap - out.len);
    const unsigned was = st.s.avail_out, in_was = st.s.avail_in;
    ret = BZ2_bzDecompress(&st.s);
    out.len += was - st.s.avail_out;
    if (ret == BZ_OK && st.s.avail_out > 0 && st.s.avail_in == in_was) break;  // cut short
  }
  BZ2_bzDecompressEnd(&st.s);
  return ret == BZ_STREAM_END;
}

void* bz_make_piece_state() { return new (std::nothrow) bz_piece_state; }

void bz_free_piece_state(void* state) {
  auto* st = static_cast<bz_piece_state*>(state);
  for (auto& k : st->kept) std::free(k.p);
  delete st;
}

}  // namespace

extern const piece_ops bzip2_pieces = {bz_make_scanner, bz_free_scanner, bz_scan, bz_make_piece_state,
                           bz_free_piece_state, bz_take, bz_decode};
#endif
