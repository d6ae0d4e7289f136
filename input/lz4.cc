// lz4 frames, with liblz4's frame API, a frame at a time. Frames may be
// concatenated, and skippable frames may stand between them, as lz4 -dc
// reads them; block and content checksums are verified where the frame
// has them. (A file that opens with a skippable frame is read as zstd,
// whose skippable frames are the same.) Legacy frames (lz4 -l, and what
// older tools and kernels write) are read too: blocks of up to 8 MiB, each
// decoded whole by liblz4's block API, until the file ends or a block size
// too large to be one (the next frame's magic) stands where a block would.
#include <cstdint>
#include <new>

#include "input/format.h"
#include "input/member_pieces.h"

namespace {

const unsigned char kMagic[] = {0x04, 0x22, 0x4d, 0x18};
const unsigned char kLegacyMagic[] = {0x02, 0x21, 0x4c, 0x18};

sniff_result lz4_sniff(const unsigned char* p, size_t n) {
  const sniff_result frame = sniff_magic(p, n, kMagic, sizeof kMagic);
  if (frame != sniff_result::no) return frame;
  return sniff_magic(p, n, kLegacyMagic, sizeof kLegacyMagic);
}

}  // namespace

#if defined(BRAIDLOGS_LZ4)
#include <lz4.h>
#define LZ4F_STATIC_LINKING_ONLY  // LZ4F_getErrorCode, to tell memory from damage
#include <lz4frame.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// A legacy frame's blocks decode to 8 MiB at most; a block size above the
// bound of that is no block.
constexpr size_t kLegacyBlock = size_t{8} << 20;
constexpr size_t kLegacyBound = LZ4_COMPRESSBOUND(kLegacyBlock);
constexpr size_t kMagicBytes = 4;

enum class lz4_kind { unknown, frame, legacy };

struct lz4_state {
  LZ4F_dctx* dctx = nullptr;
  lz4_kind kind = lz4_kind::unknown;  // of the member begun
  // What liblz4 asks for next: the rest of what it is reading and, while
  // it reads a block, the next block's header.
  size_t hint = 0;
  // A legacy frame's block as it is gathered, and decoded; made for the
  // first legacy frame.
  std::unique_ptr<char[]> packed, plain;
  size_t need = 0, have = 0;     // bytes of the packed block, and gathered
  size_t out_pos = 0, out_end = 0;  // decoded bytes not yet handed out
};

bool lz4_begin(void* state) {
  auto* s = static_cast<lz4_state*>(state);
  LZ4F_resetDecompressionContext(s->dctx);
  s->kind = lz4_kind::unknown;
  s->hint = LZ4F_HEADER_SIZE_MIN;
  s->need = s->have = s->out_pos = s->out_end = 0;
  return true;
}

size_t hand_out(lz4_state* s, char* out, size_t out_len) {
  const size_t n = std::min(out_len, s->out_end - s->out_pos);
  std::memcpy(out, s->plain.get() + s->out_pos, n);
  s->out_pos += n;
  return n;
}

// A legacy frame: a 4-byte little-endian size, then that many bytes of one
// block, again and again. Decoded bytes go out before more is read.
member_step legacy_step(lz4_state* s, const unsigned char* in, size_t in_len, char* out,
                        size_t out_len) {
  member_step r;
  if (s->out_pos < s->out_end) {
    r.made = hand_out(s, out, out_len);
    return r;
  }
  if (s->need == 0) {  // between blocks
    if (in_len == 0) {  // the end of the input ends the frame
      r.ended = true;
      return r;
    }
    if (in_len < 4) {
      r.want = 4;
      return r;
    }
    const size_t size = le32(in);
    if (size > kLegacyBound) {  // the next frame's magic, or garbage
      r.ended = true;
      return r;
    }
    if (size == 0) {
      r.failed = true;
      return r;
    }
    s->need = size;
    s->have = 0;
    r.used = 4;
    in += 4;
    in_len -= 4;
  }
  const size_t take = std::min(in_len, s->need - s->have);
  std::memcpy(s->packed.get() + s->have, in, take);
  s->have += take;
  r.used += take;
  if (s->have < s->need) return r;
  const int got = LZ4_decompress_safe(s->packed.get(), s->plain.get(), static_cast<int>(s->need),
                                      static_cast<int>(kLegacyBlock));
  s->need = 0;
  if (got < 0) {
    r.failed = true;
    return r;
  }
  s->out_pos = 0;
  s->out_end = static_cast<size_t>(got);
  r.made = hand_out(s, out, out_len);
  return r;
}

member_step lz4_call(lz4_state* s, const unsigned char* in, size_t in_len, char* out,
                     size_t out_len) {
  size_t used = in_len;
  size_t made = out_len;
  const size_t ret = LZ4F_decompress(s->dctx, out, &made, in, &used, nullptr);
  member_step r;
  if (LZ4F_isError(ret)) {
    // What the call consumed and made is not to be trusted.
    r.no_memory = LZ4F_getErrorCode(ret) == LZ4F_ERROR_allocation_failed;
    r.failed = !r.no_memory;
    return r;
  }
  r.used = used;
  r.made = made;
  r.ended = ret == 0;
  if (ret != 0) s->hint = ret;
  return r;
}

// A call that fails reports nothing it wrote, so no call may both give
// sound output and fail: output liblz4 holds goes out first, with no
// input; then at most one block is offered (what liblz4 asks for, less the
// next block's header). The output before damage then ends at the same
// block however the bytes arrive.
member_step lz4_step(void* state, const unsigned char* in, size_t in_len, char* out,
                     size_t out_len) {
  auto* s = static_cast<lz4_state*>(state);
  if (s->kind == lz4_kind::unknown) {  // the member's magic tells its kind
    member_step r;
    if (in_len < kMagicBytes) {
      r.want = kMagicBytes;
      return r;
    }
    if (std::memcmp(in, kLegacyMagic, kMagicBytes) != 0) {
      s->kind = lz4_kind::frame;  // liblz4 reads the magic itself
    } else {
      if (s->packed == nullptr) {
        s->packed.reset(new (std::nothrow) char[kLegacyBound]);
        s->plain.reset(new (std::nothrow) char[kLegacyBlock]);
      }
      r.no_memory = s->packed == nullptr || s->plain == nullptr;
      if (r.no_memory) return r;
      s->kind = lz4_kind::legacy;
      r.used = kMagicBytes;
      return r;
    }
  }
  if (s->kind == lz4_kind::legacy) return legacy_step(s, in, in_len, out, out_len);
  const member_step held = lz4_call(s, in, 0, out, out_len);
  if (held.made > 0 || held.ended || held.failed || held.no_memory) return held;
  constexpr size_t kBlockHeader = 4;
  const size_t feed = s->hint > kBlockHeader ? s->hint - kBlockHeader : s->hint;
  return lz4_call(s, in, in_len < feed ? in_len : feed, out, out_len);
}

// A frame or a skippable frame follows; a true start of one's magic (at the
// end of the input) is a frame cut off; anything else is trailing garbage.
boundary lz4_follows(const unsigned char* p, size_t n, bool eof) {
  if (n >= 1 && (p[0] & 0xf0) == 0x50) {
    static const unsigned char kSkippable[] = {0x2a, 0x4d, 0x18};
    return boundary_by_magic(p + 1, n - 1, eof, kSkippable, sizeof kSkippable);
  }
  if (n >= 1 && p[0] == kLegacyMagic[0])
    return boundary_by_magic(p, n, eof, kLegacyMagic, sizeof kLegacyMagic);
  return boundary_by_magic(p, n, eof, kMagic, sizeof kMagic);
}

void lz4_free(void* state) {
  auto* s = static_cast<lz4_state*>(state);
  LZ4F_freeDecompressionContext(s->dctx);
  delete s;
}

void* lz4_make() {
  auto* s = new (std::nothrow) lz4_state;
  if (s != nullptr && LZ4F_isError(LZ4F_createDecompressionContext(&s->dctx, LZ4F_VERSION))) {
    delete s;
    return nullptr;
  }
  return s;
}

// Pieces: frames, as rotations are concatenated, found from their block
// sizes without decoding, skippable frames among them; a legacy frame, or
// anything else, goes to the member loop.
member_size frame_size(const unsigned char* q, uint64_t have) {
  if (have < 8) return {member_size::more};
  if (const uint64_t skip = skippable_frame_size(q)) return {member_size::known, skip};
  if (le32(q) != 0x184d2204 || (q[4] >> 6) != 1) return {};
  const unsigned flags = q[4];
  const uint64_t block_sum = (flags & 0x10) != 0 ? 4 : 0, content_sum = (flags & 0x04) != 0 ? 4 : 0;
  uint64_t at = 4 + 2 + ((flags & 0x08) != 0 ? 8 : 0) + ((flags & 0x01) != 0 ? 4 : 0) + 1;
  for (;;) {  // each block: its size (the top bit: stored), its bytes, its checksum
    if (at + 4 > have) return {member_size::more};
    const uint32_t size = le32(q + at);
    at += 4;
    if (size == 0) break;  // the end mark
    at += (size & 0x7fffffffu) + block_sum;
  }
  return {member_size::known, at + content_sum};
}

extern const format_ops kOps;
const piece_ops kPieces = member_pieces<frame_size, &kOps>();

const format_ops kOps = {.make = lz4_make, .free = lz4_free, .begin = lz4_begin, .step = lz4_step,
                         .follows = lz4_follows, .pieces = &kPieces, .hold_members = true};

}  // namespace

extern const input_format lz4_format = {BRAIDLOGS_FORMAT_TEXTS("lz4"), lz4_sniff, &kOps};
#else
extern const input_format lz4_format = {BRAIDLOGS_FORMAT_TEXTS("lz4"), lz4_sniff, nullptr};
#endif
