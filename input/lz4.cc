// lz4 frames, with liblz4's frame API, a frame at a time. Frames may be
// concatenated, and skippable frames may stand between them, as lz4 -dc
// reads them; block and content checksums are verified where the frame
// has them. (A file that opens with a skippable frame is read as zstd,
// whose skippable frames are the same.)
#include <cstdint>
#include <new>

#include "input/format.h"

namespace {

const unsigned char kMagic[] = {0x04, 0x22, 0x4d, 0x18};

sniff_result lz4_sniff(const unsigned char* p, size_t n) {
  return sniff_magic(p, n, kMagic, sizeof kMagic);
}

}  // namespace

#if defined(BRAIDLOGS_LZ4)
#include <lz4frame.h>

namespace {

struct lz4_state {
  LZ4F_dctx* dctx = nullptr;
  // What liblz4 asks for next: the rest of what it is reading and, while
  // it reads a block, the next block's header.
  size_t hint = 0;
};

bool lz4_begin(void* state) {
  auto* s = static_cast<lz4_state*>(state);
  LZ4F_resetDecompressionContext(s->dctx);
  s->hint = LZ4F_HEADER_SIZE_MIN;
  return true;
}

member_step lz4_call(lz4_state* s, const unsigned char* in, size_t in_len, char* out,
                     size_t out_len) {
  size_t used = in_len;
  size_t made = out_len;
  const size_t ret = LZ4F_decompress(s->dctx, out, &made, in, &used, nullptr);
  member_step r;
  if (LZ4F_isError(ret)) {
    r.failed = true;  // what the call consumed and made is not to be trusted
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
  const member_step held = lz4_call(s, in, 0, out, out_len);
  if (held.made > 0 || held.ended || held.failed) return held;
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

const format_ops kOps = {lz4_make, lz4_free, lz4_begin, lz4_step, lz4_follows};

}  // namespace

extern const input_format lz4_format = {BRAIDLOGS_FORMAT_TEXTS("lz4"), lz4_sniff, &kOps};
#else
extern const input_format lz4_format = {BRAIDLOGS_FORMAT_TEXTS("lz4"), lz4_sniff, nullptr};
#endif
