// xz, with liblzma. Concatenated streams are read to the end.
#include <cstdint>
#include <cstdlib>

#include "input/format_ops.h"

#if defined(BRAIDLOGS_XZ)
#include <lzma.h>

namespace {

struct xz_state {
  lzma_stream s;
  bool done;
};

bool xz_start(decoder& d) {
  auto* s = static_cast<xz_state*>(std::malloc(sizeof(xz_state)));
  if (s == nullptr) return false;
  s->s = LZMA_STREAM_INIT;
  s->done = false;
  if (lzma_stream_decoder(&s->s, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) {
    std::free(s);
    return false;
  }
  d.state = s;
  return true;
}

ssize_t xz_read(decoder& d, char* out, size_t n) {
  auto* s = static_cast<xz_state*>(d.state);
  raw_input& raw = d.raw;
  while (!s->done) {
    if (!decoder_fill(d)) return -1;
    s->s.next_in = raw.buf + raw.pos;
    s->s.avail_in = raw.end - raw.pos;
    s->s.next_out = reinterpret_cast<uint8_t*>(out);
    s->s.avail_out = n;
    const lzma_ret ret = lzma_code(&s->s, raw.eof ? LZMA_FINISH : LZMA_RUN);
    raw.pos = raw.end - s->s.avail_in;
    if (ret == LZMA_STREAM_END) {
      s->done = true;
    } else if (ret == LZMA_BUF_ERROR && raw.eof) {
      d.problem = truncated_text(compression::xz);
      return -1;
    } else if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) {
      d.problem = ret == LZMA_MEM_ERROR ? "out of memory decoding xz data"
                                        : corrupt_text(compression::xz);
      return -1;
    }
    const size_t made = n - s->s.avail_out;
    if (made > 0) return static_cast<ssize_t>(made);
  }
  return 0;
}

void xz_finish(decoder& d) {
  auto* s = static_cast<xz_state*>(d.state);
  lzma_end(&s->s);
  std::free(s);
}

const format_ops kXz = {xz_start, xz_read, xz_finish};

}  // namespace

const format_ops* const xz_ops = &kXz;

#else
const format_ops* const xz_ops = nullptr;
#endif
