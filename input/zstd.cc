// zstd, with libzstd. Concatenated frames are read to the end.
#include <cstdint>
#include <cstdlib>

#include "input/format_ops.h"

#if defined(BRAIDLOGS_ZSTD)
#include <zstd.h>

namespace {

struct zs_state {
  ZSTD_DStream* ds;
  bool in_frame;  // a frame has begun and has not been wholly decoded
};

bool zs_start(decoder& d) {
  auto* s = static_cast<zs_state*>(std::malloc(sizeof(zs_state)));
  if (s == nullptr) return false;
  s->ds = ZSTD_createDStream();
  if (s->ds == nullptr) {
    std::free(s);
    return false;
  }
  ZSTD_initDStream(s->ds);
  s->in_frame = false;
  d.state = s;
  return true;
}

ssize_t zs_read(decoder& d, char* out, size_t n) {
  auto* s = static_cast<zs_state*>(d.state);
  raw_input& raw = d.raw;
  for (;;) {
    if (!decoder_fill(d)) return -1;
    if (raw.pos == raw.end && !s->in_frame) return 0;
    ZSTD_inBuffer in = {raw.buf + raw.pos, raw.end - raw.pos, 0};
    ZSTD_outBuffer ob = {out, n, 0};
    const size_t ret = ZSTD_decompressStream(s->ds, &ob, &in);
    raw.pos += in.pos;
    if (ZSTD_isError(ret)) {
      d.problem = corrupt_text(compression::zstd);
      return -1;
    }
    // 0: a frame is complete and flushed. Otherwise more is to come, either
    // input or output held back for want of room.
    s->in_frame = ret != 0;
    if (ob.pos > 0) return static_cast<ssize_t>(ob.pos);
    if (raw.eof && raw.pos == raw.end && s->in_frame) {
      d.problem = truncated_text(compression::zstd);
      return -1;
    }
    if (in.pos == 0 && raw.pos < raw.end) {
      d.problem = corrupt_text(compression::zstd);
      return -1;
    }
  }
}

void zs_finish(decoder& d) {
  auto* s = static_cast<zs_state*>(d.state);
  ZSTD_freeDStream(s->ds);
  std::free(s);
}

const format_ops kZstd = {zs_start, zs_read, zs_finish};

}  // namespace

const format_ops* const zstd_ops = &kZstd;

#else
const format_ops* const zstd_ops = nullptr;
#endif
