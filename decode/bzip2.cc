// bzip2, with libbz2. Concatenated streams are read to the end.
#include <cstdint>
#include <cstdlib>

#include "decode/format_ops.h"

#if defined(BRAIDLOGS_BZIP2)
#include <bzlib.h>

namespace {

struct bz_state {
  bz_stream s;
  bool live;       // BZ2_bzDecompressInit has been called and not ended
  bool in_stream;  // a stream has begun and has not ended
};

bool bz_start(decoder& d) {
  auto* s = static_cast<bz_state*>(std::calloc(1, sizeof(bz_state)));
  if (s == nullptr) return false;
  d.state = s;
  return true;
}

ssize_t bz_read(decoder& d, char* out, size_t n) {
  auto* s = static_cast<bz_state*>(d.state);
  raw_input& raw = d.raw;
  for (;;) {
    if (!decoder_fill(d)) return -1;
    // Only at the end of the input is nothing left to decode. A member cut
    // short may still have output held in the decoder: take that first.
    const bool at_end = raw.pos == raw.end;
    if (at_end && !s->in_stream) return 0;
    if (!s->in_stream) {
      if (s->live) BZ2_bzDecompressEnd(&s->s);
      s->s = bz_stream{};
      s->live = BZ2_bzDecompressInit(&s->s, 0, 0) == BZ_OK;
      if (!s->live) {
        d.problem = corrupt_text(compression::bzip2);
        return -1;
      }
      s->in_stream = true;
    }
    s->s.next_in = reinterpret_cast<char*>(raw.buf + raw.pos);
    s->s.avail_in = static_cast<unsigned>(raw.end - raw.pos);
    s->s.next_out = out;
    s->s.avail_out = static_cast<unsigned>(n > UINT32_MAX ? UINT32_MAX : n);
    const unsigned want = s->s.avail_out;
    const int ret = BZ2_bzDecompress(&s->s);
    const size_t used = raw.end - raw.pos - s->s.avail_in;
    raw.pos += used;
    if (ret == BZ_STREAM_END) {
      s->in_stream = false;
    } else if (ret != BZ_OK) {
      d.problem = corrupt_text(compression::bzip2);
      return -1;
    }
    const size_t made = want - s->s.avail_out;
    if (made > 0) return static_cast<ssize_t>(made);
    if (at_end && s->in_stream) {
      d.problem = truncated_text(compression::bzip2);
      return -1;
    }
    if (used == 0 && s->in_stream && raw.pos < raw.end) {
      d.problem = corrupt_text(compression::bzip2);
      return -1;
    }
  }
}

void bz_finish(decoder& d) {
  auto* s = static_cast<bz_state*>(d.state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  std::free(s);
}

const format_ops kBzip2 = {bz_start, bz_read, bz_finish};

}  // namespace

const format_ops* const bzip2_ops = &kBzip2;

#else
const format_ops* const bzip2_ops = nullptr;
#endif
