// bzip2, with libbz2. Concatenated streams are read to the end.
#include <cstdint>
#include <cstdlib>

#include "input/format_ops.h"

#if defined(BRAIDLOGS_BZIP2)
#include <bzlib.h>

namespace {

struct bz_state {
  bz_stream s;
  bool live;  // BZ2_bzDecompressInit has been called and not ended
};

bool bz_begin(void* state) {
  auto* s = static_cast<bz_state*>(state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  s->s = bz_stream{};
  const int ret = BZ2_bzDecompressInit(&s->s, 0, 0);
  s->live = ret == BZ_OK;
  return s->live;
}

member_step bz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<bz_state*>(state);
  s->s.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
  s->s.avail_in = clamp32(in_len);
  s->s.next_out = out;
  s->s.avail_out = clamp32(out_len);
  const unsigned in_was = s->s.avail_in, out_was = s->s.avail_out;
  const int ret = BZ2_bzDecompress(&s->s);
  member_step r;
  r.used = in_was - s->s.avail_in;
  r.made = out_was - s->s.avail_out;
  r.ended = ret == BZ_STREAM_END;
  r.no_memory = ret == BZ_MEM_ERROR;
  r.failed = ret != BZ_OK && ret != BZ_STREAM_END && !r.no_memory;
  return r;
}

// A later stream is whatever starts with "BZh" and a block-size digit, as
// bzip2 itself decides; anything else after a stream is trailing garbage.
boundary bz_follows(const unsigned char* p, size_t n, bool eof) {
  static const unsigned char kMagic[] = {'B', 'Z', 'h'};
  const boundary b = boundary_by_magic(p, n, eof, kMagic, sizeof kMagic);
  if (b.kind != boundary_kind::member) return b;
  if (n < 4) return {boundary_kind::truncated};
  return {p[3] >= '1' && p[3] <= '9' ? boundary_kind::member : boundary_kind::garbage};
}

bool bz_start(decoder& d) {
  d.state = std::calloc(1, sizeof(bz_state));
  return d.state != nullptr;
}

void bz_finish(decoder& d) {
  auto* s = static_cast<bz_state*>(d.state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  std::free(s);
}

const format_ops kBzip2 = {bz_start, bz_finish, bz_begin, bz_step, bz_follows};

}  // namespace

const format_ops* const bzip2_ops = &kBzip2;

#else
const format_ops* const bzip2_ops = nullptr;
#endif
