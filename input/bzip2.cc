// bzip2, with libbz2. Concatenated streams are read to the end.
#include <cstdint>
#include <cstdlib>

#include "input/format_ops.h"
#include "input/member_loop.h"

#if defined(BRAIDLOGS_BZIP2)
#include <bzlib.h>

namespace {

struct bz_state {
  bz_stream s;
  bool live;  // BZ2_bzDecompressInit has been called and not ended
  member_reader reader;
};

bool bz_begin(void* state) {
  auto* s = static_cast<bz_state*>(state);
  if (s->live) BZ2_bzDecompressEnd(&s->s);
  s->s = bz_stream{};
  s->live = BZ2_bzDecompressInit(&s->s, 0, 0) == BZ_OK;
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
  r.failed = ret != BZ_OK && ret != BZ_STREAM_END;
  return r;
}

const member_codec kBzip2Codec = {bz_begin, bz_step};

bool bz_start(decoder& d) {
  auto* s = static_cast<bz_state*>(std::calloc(1, sizeof(bz_state)));
  if (s == nullptr) return false;
  d.state = s;
  return true;
}

ssize_t bz_read(decoder& d, char* out, size_t n) {
  return read_members(d, static_cast<bz_state*>(d.state)->reader, kBzip2Codec, out, n);
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
