// bzip2, with libbz2. Concatenated streams are read to the end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "input/bzip2_pieces.h"
#include "input/format.h"

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

// With `window` holding the last bytes up to byte `scanned`: the bit at
// which the earliest block or end magic that ends in the last byte starts,
// if at or past bit `from`; else kBzNone.
uint64_t bz_magic_ending(uint64_t window, uint64_t scanned, uint64_t from) {
  constexpr uint64_t kMask = (uint64_t{1} << 48) - 1;
  for (int shift = 7; shift >= 0; --shift) {  // the earliest end first
    const uint64_t bits = (window >> shift) & kMask;
    const uint64_t end = scanned * 8 - static_cast<uint64_t>(shift);
    if (end >= 48 && end - 48 >= from && (bits == kBzBlockMagic || bits == kBzEndMagic))
      return end - 48;
  }
  return kBzNone;
}

// A later stream is whatever starts with "BZh" and a block-size digit, as
// bzip2 itself decides; anything else after a stream is trailing garbage.
boundary bz_follows(const unsigned char* p, size_t n, bool eof) {
  const boundary b = boundary_by_magic(p, n, eof, kMagic, sizeof kMagic);
  if (b.kind != boundary_kind::member) return b;
  if (n < 4) return {boundary_kind::truncated};
  return {p[3] >= '1' && p[3] <= '9' ? boundary_kind::member : boundary_kind::garbage};
}

namespace {

// The held output: its first size, and the room kept free for a call.
constexpr size_t kHeldStart = size_t{1} << 20;
constexpr size_t kHeldRoom = size_t{256} << 10;

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
  uint64_t next = kBzNone;  // the next block's magic starts at this bit
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
  s->next = kBzNone;
  const int ret = BZ2_bzDecompressInit(&s->s, 0, 0);
  s->live = ret == BZ_OK;
  return s->live;
}

// Scans p (the stream's bytes from s.fed on) for the next block's magic,
// or the end of stream's, past the current block's.
void find_next_block(bz_state& s, const unsigned char* p, size_t n) {
  for (size_t i = s.scanned - s.fed; i < n && s.next == kBzNone; ++i) {
    s.window = s.window << 8 | p[i];
    ++s.scanned;
    if (!s.crc_known && s.scanned * 8 >= s.after + 80) {
      s.stored_crc = static_cast<uint32_t>(s.window >> (s.scanned * 8 - s.after - 80));
      s.crc_known = true;
    }
    s.next = bz_magic_ending(s.window, s.scanned, s.after + 1);
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
         s->next != kBzNone && s->fed > s->next / 8;
         find_next_block(*s, in + r.used, in_len - r.used)) {
      s->after = s->next;
      s->next = kBzNone;
      s->crc_known = false;
    }
    size_t feed = in_len - r.used;
    if (s->next != kBzNone) feed = std::min<uint64_t>(feed, s->next / 8 + 1 - s->fed);
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
                         .pieces = &bzip2_pieces,
                         .unchecked = bz_unchecked};

}  // namespace

extern const input_format bzip2_format = {BRAIDLOGS_FORMAT_TEXTS("bzip2"), bz_sniff, &kOps};
#else
extern const input_format bzip2_format = {BRAIDLOGS_FORMAT_TEXTS("bzip2"), bz_sniff, nullptr};
#endif
