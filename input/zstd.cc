// zstd, with libzstd, a frame at a time. Skippable frames (as pzstd writes
// before its data) are passed over wherever they stand; frames written with
// --long up to --long=31 (a 2 GiB window) are read, as zstd -d --long=31
// reads them.
#include <cstdint>
#include <cstdlib>

#include "input/format_ops.h"

#if defined(BRAIDLOGS_ZSTD)
#include <zstd.h>
#include <zstd_errors.h>

namespace {

// The largest window zstd -d accepts when told --long=31.
constexpr int kWindowLogMax = 31;

struct zs_state {
  ZSTD_DStream* ds;
};

bool zs_begin(void* state) {
  return !ZSTD_isError(ZSTD_DCtx_reset(static_cast<zs_state*>(state)->ds,
                                       ZSTD_reset_session_only));
}

member_step zs_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<zs_state*>(state);
  ZSTD_inBuffer ib = {in, in_len, 0};
  ZSTD_outBuffer ob = {out, out_len, 0};
  const size_t ret = ZSTD_decompressStream(s->ds, &ob, &ib);
  member_step r;
  r.used = ib.pos;
  r.made = ob.pos;
  if (ZSTD_isError(ret)) {
    const ZSTD_ErrorCode code = ZSTD_getErrorCode(ret);
    r.no_memory = code == ZSTD_error_memory_allocation;
    r.failed = !r.no_memory;
    if (code == ZSTD_error_frameParameter_windowTooLarge)
      r.problem = "zstd data needs a window larger than 2 GiB";
    return r;
  }
  r.ended = ret == 0;  // the frame is complete and wholly flushed
  return r;
}

// A frame or a skippable frame follows; a true start of one's magic at the
// end of the input is a frame cut off; anything else is trailing garbage.
boundary zs_follows(const unsigned char* p, size_t n, bool) {
  static const unsigned char kFrame[] = {0x28, 0xb5, 0x2f, 0xfd};
  static const unsigned char kSkippable[] = {0x50, 0x2a, 0x4d, 0x18};  // low 4 bits free
  bool frame = true, skippable = true;
  for (size_t i = 0; i < n && i < 4; ++i) {
    frame = frame && p[i] == kFrame[i];
    skippable = skippable && (i == 0 ? (p[0] & 0xf0) == kSkippable[0] : p[i] == kSkippable[i]);
  }
  if (!frame && !skippable) return {boundary_kind::garbage};
  return {n < 4 ? boundary_kind::truncated : boundary_kind::member};
}

bool zs_start(decoder& d) {
  auto* s = static_cast<zs_state*>(std::malloc(sizeof(zs_state)));
  if (s == nullptr) return false;
  s->ds = ZSTD_createDStream();
  if (s->ds == nullptr ||
      ZSTD_isError(ZSTD_DCtx_setParameter(s->ds, ZSTD_d_windowLogMax, kWindowLogMax))) {
    ZSTD_freeDStream(s->ds);
    std::free(s);
    return false;
  }
  d.state = s;
  return true;
}

void zs_finish(decoder& d) {
  auto* s = static_cast<zs_state*>(d.state);
  ZSTD_freeDStream(s->ds);
  std::free(s);
}

const format_ops kZstd = {zs_start, zs_finish, zs_begin, zs_step, zs_follows};

}  // namespace

const format_ops* const zstd_ops = &kZstd;

#else
const format_ops* const zstd_ops = nullptr;
#endif
