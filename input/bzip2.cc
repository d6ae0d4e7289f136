// bzip2, with libbz2. Concatenated streams are read to the end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "input/format.h"
#include "input/pieces.h"

namespace {

// A stream: "BZh", a block-size digit, then the magic of its first block,
// or of its end when the stream is empty.
const unsigned char kMagic[] = {'B', 'Z', 'h'};
const unsigned char kBlock[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
const unsigned char kEnd[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};

sniff_result bz_sniff(const unsigned char* p, size_t n) {
  const sniff_result head = sniff_magic(p, n, kMagic, sizeof kMagic);
  if (head != sniff_result::yes) return head;
  if (n == 3) return sniff_result::maybe;
  if (p[3] < '1' || p[3] > '9') return sniff_result::no;
  const sniff_result block = sniff_magic(p + 4, n - 4, kBlock, sizeof kBlock);
  return block != sniff_result::no ? block : sniff_magic(p + 4, n - 4, kEnd, sizeof kEnd);
}

}  // namespace

#if defined(BRAIDLOGS_BZIP2)
#include <bzlib.h>
#include <cstdlib>

namespace {

// The held output: its first size, and the room kept free for a call.
constexpr size_t kHeldStart = size_t{1} << 20;
constexpr size_t kHeldRoom = size_t{256} << 10;
// The 48-bit magics that open a block (the digits of pi) and end a stream
// (of the square root of pi), at any bit offset in the stream.
constexpr uint64_t kBlockMagic = 0x314159265359;
constexpr uint64_t kEndMagic = 0x177245385090;
constexpr uint64_t kNone = UINT64_MAX;

// A block's output goes out only once the block's CRC has passed. libbz2
// writes a block's bytes while it checks them and finds a bad CRC only at
// the block's end, so its output goes first into `held`. libbz2 begins a
// block's output only once it has read the whole block, and stops writing
// only when the output space is full or the block has ended (and passed).
// So each call is offered no more than the rest of one block, up to the
// byte where the next block's magic starts (found by scanning for it at
// every bit offset); when such a call returns with output space left, all
// that is held has passed its check and may go out. A call that fails
// then holds only the failing block's bytes, however the input arrived.
struct bz_state {
  bz_stream s{};
  bool live = false;  // BZ2_bzDecompressInit has been called and not ended
  held_text held;
  bool stream_end = false;
  // The scan for block magics, in the stream's own offsets.
  uint64_t fed = 0;       // bytes libbz2 has taken
  uint64_t scanned = 0;   // bytes scanned
  uint64_t window = 0;    // the last 64 bits scanned
  uint64_t after = 0;     // the magic of the block being read starts at this bit
  uint64_t next = kNone;  // the next block's magic starts at this bit
  // The CRC stored after the magic at `after`, once the scan has passed it.
  uint32_t stored_crc = 0;
  bool crc_known = false;
  // The held block passed its check, but libbz2 failed on what follows it
  // (a damaged magic, the stream's combined CRC): hand the block out, then
  // fail.
  bool fail_after = false;
  bool unchecked = false;  // hand out bytes as libbz2 writes them
};

// bzip2's CRC: CRC-32 with its bits taken most significant first.
struct crc_table {
  uint32_t t[256];
  constexpr crc_table() : t{} {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) != 0 ? c << 1 ^ 0x04c11db7u : c << 1;
      t[i] = c;
    }
  }
};
constexpr crc_table kCrc;

uint32_t block_crc(const char* p, size_t n) {
  uint32_t c = 0xffffffffu;
  for (size_t i = 0; i < n; ++i) c = c << 8 ^ kCrc.t[(c >> 24) ^ static_cast<unsigned char>(p[i])];
  return ~c;
}

void bz_unchecked(void* state, bool on) { static_cast<bz_state*>(state)->unchecked = on; }

// Unchecked: libbz2 writes straight into out and stops once out is full,
// which for a block's first bytes is before most of its inverse transform.
// It still checks each block's CRC at the block's end, and fails there.
member_step bz_step_unchecked(bz_state& s, const unsigned char* in, size_t in_len, char* out,
                              size_t out_len) {
  member_step r;
  s.s.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
  s.s.avail_in = clamp32(in_len);
  s.s.next_out = out;
  s.s.avail_out = clamp32(out_len);
  const unsigned in_was = s.s.avail_in, out_was = s.s.avail_out;
  const int ret = BZ2_bzDecompress(&s.s);
  r.used = in_was - s.s.avail_in;
  r.made = out_was - s.s.avail_out;
  r.no_memory = ret == BZ_MEM_ERROR;
  r.failed = ret != BZ_OK && ret != BZ_STREAM_END && !r.no_memory;
  r.ended = ret == BZ_STREAM_END;
  return r;
}

bool bz_begin(void* state) {
  auto* s = static_cast<bz_state*>(state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  s->s = bz_stream{};
  held_clear(s->held);
  s->stream_end = false;
  s->crc_known = s->fail_after = false;
  s->fed = s->scanned = s->window = 0;
  s->after = 32;  // the first block's magic, after "BZh" and the level
  s->next = kNone;
  const int ret = BZ2_bzDecompressInit(&s->s, 0, 0);
  s->live = ret == BZ_OK;
  return s->live;
}

// With `window` holding the last bytes up to byte `scanned`: the bit at
// which the earliest block or end magic that ends in the last byte starts,
// if at or past bit `from`; else kNone.
uint64_t magic_ending(uint64_t window, uint64_t scanned, uint64_t from) {
  constexpr uint64_t kMask = (uint64_t{1} << 48) - 1;
  for (int shift = 7; shift >= 0; --shift) {  // the earliest end first
    const uint64_t bits = (window >> shift) & kMask;
    const uint64_t end = scanned * 8 - static_cast<uint64_t>(shift);
    if (end >= 48 && end - 48 >= from && (bits == kBlockMagic || bits == kEndMagic))
      return end - 48;
  }
  return kNone;
}

// Scans p (the stream's bytes from s.fed on) for the next block's magic,
// or the end of stream's, past the current block's.
void find_next_block(bz_state& s, const unsigned char* p, size_t n) {
  for (size_t i = s.scanned - s.fed; i < n && s.next == kNone; ++i) {
    s.window = s.window << 8 | p[i];
    ++s.scanned;
    if (!s.crc_known && s.scanned * 8 >= s.after + 80) {
      s.stored_crc = static_cast<uint32_t>(s.window >> (s.scanned * 8 - s.after - 80));
      s.crc_known = true;
    }
    s.next = magic_ending(s.window, s.scanned, s.after + 1);
  }
}

// Hands out checked bytes, and ends the stream once all have gone out.
member_step give(bz_state& s, char* out, size_t out_len, member_step r) {
  r.made = held_give(s.held, out, out_len);
  r.ended = s.stream_end && s.held.len == 0;
  return r;
}

member_step bz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<bz_state*>(state);
  if (s->unchecked) return bz_step_unchecked(*s, in, in_len, out, out_len);
  member_step r;
  if (s->held.given < s->held.ready || s->stream_end) return give(*s, out, out_len, r);
  if (s->fail_after) {
    r.failed = true;
    return r;
  }
  for (;;) {
    // The next magic, past any that libbz2 has already begun to read.
    for (find_next_block(*s, in + r.used, in_len - r.used);
         s->next != kNone && s->fed > s->next / 8;
         find_next_block(*s, in + r.used, in_len - r.used)) {
      s->after = s->next;
      s->next = kNone;
      s->crc_known = false;
    }
    size_t feed = in_len - r.used;
    if (s->next != kNone) feed = std::min<uint64_t>(feed, s->next / 8 + 1 - s->fed);
    if (s->held.cap - s->held.len < kHeldRoom) {  // room for a block's bytes
      if (!held_grow(s->held, std::max(2 * s->held.cap, kHeldStart))) {
        r.no_memory = true;
        return r;
      }
    }
    s->s.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in + r.used));
    s->s.avail_in = clamp32(feed);
    s->s.next_out = s->held.buf.get() + s->held.len;
    s->s.avail_out = clamp32(s->held.cap - s->held.len);
    const unsigned in_was = s->s.avail_in, out_was = s->s.avail_out;
    const int ret = BZ2_bzDecompress(&s->s);
    r.used += in_was - s->s.avail_in;
    s->fed += in_was - s->s.avail_in;
    s->held.len += out_was - s->s.avail_out;
    r.no_memory = ret == BZ_MEM_ERROR;
    r.failed = ret != BZ_OK && ret != BZ_STREAM_END && !r.no_memory;
    if (r.no_memory) return r;
    if (r.failed) {
      // Held bytes of a bad block never go out. But libbz2 checks a block
      // and reads on past it in the same call, and fails on damage after
      // it: a block whose bytes match its own stored CRC is sound.
      const held_text& h = s->held;
      if (h.len == 0 || !s->crc_known || block_crc(h.buf.get(), h.len) != s->stored_crc)
        return r;
      r.failed = false;
      s->fail_after = true;
      s->held.ready = s->held.len;
      return give(*s, out, out_len, r);
    }
    s->stream_end = ret == BZ_STREAM_END;
    if (s->stream_end || s->s.avail_out > 0) break;
  }
  s->held.ready = s->held.len;
  return give(*s, out, out_len, r);
}

// A later stream is whatever starts with "BZh" and a block-size digit, as
// bzip2 itself decides; anything else after a stream is trailing garbage.
boundary bz_follows(const unsigned char* p, size_t n, bool eof) {
  const boundary b = boundary_by_magic(p, n, eof, kMagic, sizeof kMagic);
  if (b.kind != boundary_kind::member) return b;
  if (n < 4) return {boundary_kind::truncated};
  return {p[3] >= '1' && p[3] <= '9' ? boundary_kind::member : boundary_kind::garbage};
}

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
        if (magic == kEndMagic) {
          if (crc != s.combined) return scan_sequential(s.member, true);
          s.pos = (s.a + 80 + 7) / 8;
          s.phase = bz_scanner::at::head;
          break;
        }
        if (magic != kBlockMagic) return scan_sequential(s.member, true);
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
          const uint64_t e = magic_ending(s.window, s.scanned, s.a + 80);
          if (e == kNone) continue;
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
  put_bits(w, tail, kEndMagic >> 24, 24);
  put_bits(w, tail + 24, kEndMagic & 0xffffff, 24);
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

const piece_ops kPieces = {bz_make_scanner, bz_free_scanner, bz_scan, bz_make_piece_state,
                           bz_free_piece_state, bz_take, bz_decode};

void* bz_make() { return new (std::nothrow) bz_state; }

void bz_free(void* state) {
  auto* s = static_cast<bz_state*>(state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  delete s;
}

const format_ops kOps = {.make = bz_make,
                         .free = bz_free,
                         .begin = bz_begin,
                         .step = bz_step,
                         .follows = bz_follows,
                         .pieces = &kPieces,
                         .unchecked = bz_unchecked};

}  // namespace

extern const input_format bzip2_format = {BRAIDLOGS_FORMAT_TEXTS("bzip2"), bz_sniff, &kOps};
#else
extern const input_format bzip2_format = {BRAIDLOGS_FORMAT_TEXTS("bzip2"), bz_sniff, nullptr};
#endif
