#include "input/xz_blocks.h"

#if defined(BRAIDLOGS_XZ)
#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

xz_block& at(xz_blocks& t, size_t k) { return t.pending[(t.oldest + k) % kPendingBlocks]; }

// Keeps a block whose header has been read; false when too many are kept.
bool keep(xz_blocks& t, const xz_block& b) {
  if (t.kept > 0 && at(t, t.kept - 1).text_from == at(t, t.kept - 1).text_to) {
    at(t, t.kept - 1) = b;  // an empty block before it bounds nothing
    return true;
  }
  if (t.kept == kPendingBlocks) return false;
  at(t, t.kept++) = b;
  return true;
}

uint64_t vli(const unsigned char* h, size_t& at, size_t end) {
  uint64_t v = 0;
  for (unsigned shift = 0; at < end && shift < 63; shift += 7) {
    v |= uint64_t{h[at] & 0x7fu} << shift;
    if ((h[at++] & 0x80) == 0) break;
  }
  return v;
}

// Follows the stream's structure through the n bytes liblzma took.
void track(xz_blocks& t, const unsigned char* p, size_t n) {
  constexpr size_t kStreamHead = 12;
  while (n > 0 && t.phase != xz_blocks::at::none) {
    switch (t.phase) {
      case xz_blocks::at::stream_head: {
        const size_t take = std::min(n, kStreamHead - t.count);
        for (size_t i = 0; i < take; ++i)
          if (t.count + i == 7) t.check = p[i] & 0x0fu;
        t.count += take, p += take, n -= take;
        if (t.count == kStreamHead) t.phase = xz_blocks::at::head_size;
        break;
      }
      case xz_blocks::at::head_size:
        if (p[0] == 0) {  // the index: no more blocks
          t.phase = xz_blocks::at::none;
          break;
        }
        t.head[0] = p[0];
        t.head_size = (size_t{p[0]} + 1) * 4;
        t.count = 1, ++p, --n;
        t.phase = xz_blocks::at::head;
        break;
      case xz_blocks::at::head: {
        const size_t take = std::min(n, t.head_size - t.count);
        std::memcpy(t.head + t.count, p, take);
        t.count += take, p += take, n -= take;
        if (t.count < t.head_size) break;
        if ((t.head[1] & 0xc0) != 0xc0) {
          t.lost = true;
          t.phase = xz_blocks::at::none;
          break;
        }
        size_t at = 2;
        const uint64_t packed = vli(t.head, at, t.head_size);
        const uint64_t text = vli(t.head, at, t.head_size);
        xz_block b;
        b.text_from = t.text_next;
        b.text_to = t.text_next += text;
        if (!keep(t, b)) {
          t.lost = true;
          t.phase = xz_blocks::at::none;
          break;
        }
        t.left = (packed + 3) / 4 * 4 + lzma_check_size(static_cast<lzma_check>(t.check));
        t.phase = xz_blocks::at::body;
        break;
      }
      case xz_blocks::at::body: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n, t.left));
        const uint32_t check_len = lzma_check_size(static_cast<lzma_check>(t.check));
        xz_block& b = at(t, t.kept - 1);
        for (size_t i = 0; i < take; ++i)  // the block's last bytes are its check
          if (t.left - i <= check_len && check_len <= sizeof b.check)
            b.check[b.check_have++] = p[i];
        t.left -= take, p += take, n -= take;
        if (t.left == 0) t.phase = xz_blocks::at::head_size;
        break;
      }
      case xz_blocks::at::none:
        break;
    }
  }
}

// True when the text held for block b matches its stored check.
bool check_passes(const xz_blocks& t, const xz_held& h, const xz_block& b) {
  const size_t len = lzma_check_size(static_cast<lzma_check>(t.check));
  if (b.check_have != len || b.text_from < h.base || b.text_to > h.base + h.text.len) return false;
  const auto* text = reinterpret_cast<const uint8_t*>(h.text.buf.get() + (b.text_from - h.base));
  const auto n = static_cast<size_t>(b.text_to - b.text_from);
  if (t.check == LZMA_CHECK_CRC32) return lzma_crc32(text, n, 0) == le32(b.check);
  if (t.check == LZMA_CHECK_CRC64) {
    const uint64_t crc = lzma_crc64(text, n, 0);
    return static_cast<uint32_t>(crc) == le32(b.check) &&
           static_cast<uint32_t>(crc >> 32) == le32(b.check + 4);
  }
  return false;
}

// Hands out held text that has passed; then, once all has gone out, the
// stream's end or the failure found after it.
member_step xz_give(xz_held& h, char* out, size_t out_len) {
  member_step r;
  const size_t ready = h.text.ready;
  r.made = held_give(h.text, out, out_len);
  if (h.text.ready == 0) h.base += ready;  // what passed has all gone out
  if (h.text.len == 0 && h.ended) r.ended = true;
  if (r.made == 0 && (h.failure.failed || h.failure.no_memory)) return h.failure;
  return r;
}

}  // namespace

void xz_held_begin(xz_blocks& t, xz_held& h) {
  t = xz_blocks{};
  held_clear(h.text);
  h.base = 0;
  h.ended = false;
  h.failure = member_step{};
}

member_step xz_held_step(xz_blocks& t, xz_held& h, xz_decode_fn decode, void* state,
                         const unsigned char* in, size_t in_len, char* out, size_t out_len) {
  if (h.text.given < h.text.ready || h.ended || h.failure.failed || h.failure.no_memory)
    return xz_give(h, out, out_len);
  if (h.text.len == 0 && t.lost) return decode(state, in, in_len, out, out_len);  // as it comes
  // Room for a block held and the start of the next, grown as a held
  // block needs it.
  constexpr size_t kLeast = size_t{64} << 10, kMost = 2 * kHeldMost;
  if ((h.text.cap < kLeast || (h.text.len == h.text.cap && h.text.cap < kMost)) &&
      !held_grow(h.text, std::min(std::max(2 * h.text.cap, kLeast), kMost))) {
    member_step r;
    r.no_memory = true;
    return r;
  }
  // Decodes until some text has passed, or the call makes none.
  member_step r;
  size_t used = 0;
  uint64_t passed = h.base;  // the text that has passed its check
  bool failed = false;
  for (;;) {
    r = decode(state, in + used, in_len - used, h.text.buf.get() + h.text.len, h.text.cap - h.text.len);
    track(t, in + used, r.used);
    used += r.used;
    h.text.len += r.made;
    const uint64_t made = h.base + h.text.len;
    for (; t.kept > 0 && at(t, 0).text_to < made; --t.kept) {
      passed = at(t, 0).text_to;
      t.oldest = (t.oldest + 1) % kPendingBlocks;
    }
    failed = r.failed || r.no_memory;
    // A block that is too large to hold, or does not say its sizes, goes
    // out as it comes.
    const bool held = !t.lost && (t.kept == 0 || at(t, 0).text_to - at(t, 0).text_from <=
                                                         kHeldMost);
    if (r.ended || !held) passed = made;
    if (r.failed && t.kept > 0 && at(t, 0).text_to == made && check_passes(t, h, at(t, 0)))
      passed = made;
    if (failed || r.ended || passed > h.base || r.made == 0) break;
    if (h.text.len == h.text.cap) {  // a held block needs more room
      if (h.text.cap == kMost) break;
      if (!held_grow(h.text, std::min(2 * h.text.cap, kMost))) {
        r.no_memory = failed = true;
        break;
      }
    }
  }
  r.used = used;
  if (failed) {  // what has not passed never goes out
    h.text.len = static_cast<size_t>(passed - h.base);
    h.failure = r;
    h.failure.used = h.failure.made = 0;
  }
  h.ended = r.ended;
  h.text.ready = static_cast<size_t>(passed - h.base);
  member_step given = xz_give(h, out, out_len);
  given.used = r.used;
  return given;
}


#endif
