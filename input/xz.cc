// xz, with liblzma, a stream at a time. Streams may be concatenated, with
// stream padding (zero bytes in fours) between and after them, as xz -dc
// reads them.
#include <cstdint>
#include <new>

#include "input/format.h"

namespace {

const unsigned char kMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0};

sniff_result xz_sniff(const unsigned char* p, size_t n) {
  return sniff_magic(p, n, kMagic, sizeof kMagic);
}

}  // namespace

#if defined(BRAIDLOGS_XZ)
#include <lzma.h>

namespace {

struct xz_state {
  lzma_stream s;
};

bool xz_begin(void* state) {
  auto* s = static_cast<xz_state*>(state);
  // No memory limit: the stream's own dictionary size bounds it. An
  // integrity check this build cannot verify is not verified, as xz does.
  return lzma_stream_decoder(&s->s, UINT64_MAX, 0) == LZMA_OK;
}

member_step xz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<xz_state*>(state);
  s->s.next_in = in;
  s->s.avail_in = in_len;
  s->s.next_out = reinterpret_cast<uint8_t*>(out);
  s->s.avail_out = out_len;
  const lzma_ret ret = lzma_code(&s->s, LZMA_RUN);
  member_step r;
  r.used = in_len - s->s.avail_in;
  r.made = out_len - s->s.avail_out;
  r.ended = ret == LZMA_STREAM_END;
  r.no_memory = ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR;
  r.failed = ret != LZMA_OK && ret != LZMA_BUF_ERROR && !r.ended && !r.no_memory;
  return r;
}

boundary xz_follows(const unsigned char* p, size_t n, bool eof) {
  if (p[0] == 0) {  // stream padding: zero bytes, four at a time
    if (n < 4 || p[1] != 0 || p[2] != 0 || p[3] != 0) return {boundary_kind::garbage};
    return {boundary_kind::skip, 4};
  }
  return boundary_by_magic(p, n, eof, kMagic, sizeof kMagic);
}

void* xz_make() {
  auto* s = new (std::nothrow) xz_state;
  if (s != nullptr) s->s = LZMA_STREAM_INIT;
  return s;
}

void xz_free(void* state) {
  auto* s = static_cast<xz_state*>(state);
  lzma_end(&s->s);
  delete s;
}

const format_ops kOps = {xz_make, xz_free, xz_begin, xz_step, xz_follows};

}  // namespace

extern const input_format xz_format = {BRAIDLOGS_FORMAT_TEXTS("xz"), xz_sniff, &kOps};
#else
extern const input_format xz_format = {BRAIDLOGS_FORMAT_TEXTS("xz"), xz_sniff, nullptr};
#endif
