// bzip2, with libbz2. Concatenated streams are read to the end.
#include <cstdint>
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
  const boundary b = boundary_by_magic(p, n, eof, kMagic, sizeof kMagic);
  if (b.kind != boundary_kind::member) return b;
  if (n < 4) return {boundary_kind::truncated};
  return {p[3] >= '1' && p[3] <= '9' ? boundary_kind::member : boundary_kind::garbage};
}

void* bz_make() { return new (std::nothrow) bz_state{}; }

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
