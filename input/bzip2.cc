// bzip2, with libbz2. Concatenated streams are read to the end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

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
  std::unique_ptr<char[]> held;
  size_t cap = 0;     // size of held
  size_t len = 0;     // bytes held
  size_t ready = 0;   // of which this many have passed their check ...
  size_t given = 0;   // ... and this many have gone out
  bool stream_end = false;
  // The scan for block magics, in the stream's own offsets.
  uint64_t fed = 0;       // bytes libbz2 has taken
  uint64_t scanned = 0;   // bytes scanned
  uint64_t window = 0;    // the last 64 bits scanned
  uint64_t after = 0;     // the magic of the block being read starts at this bit
  uint64_t next = kNone;  // the next block's magic starts at this bit
};

bool bz_begin(void* state) {
  auto* s = static_cast<bz_state*>(state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  s->s = bz_stream{};
  s->len = s->ready = s->given = 0;
  s->stream_end = false;
  s->fed = s->scanned = s->window = 0;
  s->after = 32;  // the first block's magic, after "BZh" and the level
  s->next = kNone;
  const int ret = BZ2_bzDecompressInit(&s->s, 0, 0);
  s->live = ret == BZ_OK;
  return s->live;
}

// Scans p (the stream's bytes from s.fed on) for the next block's magic,
// or the end of stream's, past the current block's.
void find_next_block(bz_state& s, const unsigned char* p, size_t n) {
  constexpr uint64_t kMask = (uint64_t{1} << 48) - 1;
  for (size_t i = s.scanned - s.fed; i < n && s.next == kNone; ++i) {
    s.window = s.window << 8 | p[i];
    ++s.scanned;
    for (int shift = 7; shift >= 0; --shift) {  // the earliest end first
      const uint64_t bits = (s.window >> shift) & kMask;
      const uint64_t end = s.scanned * 8 - static_cast<uint64_t>(shift);
      if (end >= 48 && end - 48 > s.after && (bits == kBlockMagic || bits == kEndMagic)) {
        s.next = end - 48;
        break;
      }
    }
  }
}

// Hands out checked bytes, and ends the stream once all have gone out.
member_step give(bz_state& s, char* out, size_t out_len, member_step r) {
  r.made = std::min(out_len, s.ready - s.given);
  if (r.made > 0) std::memcpy(out, s.held.get() + s.given, r.made);
  s.given += r.made;
  if (s.given == s.ready) s.len = s.ready = s.given = 0;
  r.ended = s.stream_end && s.len == 0;
  return r;
}

member_step bz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<bz_state*>(state);
  member_step r;
  if (s->given < s->ready || s->stream_end) return give(*s, out, out_len, r);
  for (;;) {
    // The next magic, past any that libbz2 has already begun to read.
    for (find_next_block(*s, in + r.used, in_len - r.used);
         s->next != kNone && s->fed > s->next / 8;
         find_next_block(*s, in + r.used, in_len - r.used)) {
      s->after = s->next;
      s->next = kNone;
    }
    size_t feed = in_len - r.used;
    if (s->next != kNone) feed = std::min<uint64_t>(feed, s->next / 8 + 1 - s->fed);
    if (s->cap - s->len < kHeldRoom) {  // room for a block's bytes
      const size_t bigger = std::max(2 * s->cap, kHeldStart);
      std::unique_ptr<char[]> grown(new (std::nothrow) char[bigger]);
      if (grown == nullptr) {
        r.no_memory = true;
        return r;
      }
      if (s->len > 0) std::memcpy(grown.get(), s->held.get(), s->len);
      s->held = std::move(grown);
      s->cap = bigger;
    }
    s->s.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in + r.used));
    s->s.avail_in = clamp32(feed);
    s->s.next_out = s->held.get() + s->len;
    s->s.avail_out = clamp32(s->cap - s->len);
    const unsigned in_was = s->s.avail_in, out_was = s->s.avail_out;
    const int ret = BZ2_bzDecompress(&s->s);
    r.used += in_was - s->s.avail_in;
    s->fed += in_was - s->s.avail_in;
    s->len += out_was - s->s.avail_out;
    r.no_memory = ret == BZ_MEM_ERROR;
    r.failed = ret != BZ_OK && ret != BZ_STREAM_END && !r.no_memory;
    if (r.failed || r.no_memory) return r;  // held bytes of a bad block never go out
    s->stream_end = ret == BZ_STREAM_END;
    if (s->stream_end || s->s.avail_out > 0) break;
  }
  s->ready = s->len;
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

void* bz_make() { return new (std::nothrow) bz_state; }

void bz_free(void* state) {
  auto* s = static_cast<bz_state*>(state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  delete s;
}

const format_ops kOps = {bz_make, bz_free, bz_begin, bz_step, bz_follows};

}  // namespace

extern const input_format bzip2_format = {BRAIDLOGS_FORMAT_TEXTS("bzip2"), bz_sniff, &kOps};
#else
extern const input_format bzip2_format = {BRAIDLOGS_FORMAT_TEXTS("bzip2"), bz_sniff, nullptr};
#endif
