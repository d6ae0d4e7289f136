// gzip: ISA-L's inflate where the build has it, zlib otherwise. Members
// are read one after another to the end of the input, as gzip -dc does.
#include <cstdint>
#include <cstdlib>

#include "input/format_ops.h"
#include "input/member_loop.h"

#if defined(BRAIDLOGS_GZIP_ISAL)
#include <isa-l/igzip_lib.h>

namespace {

struct gz_state {
  inflate_state st;
  member_reader reader;
};

bool gz_begin(void* state) {
  auto* s = static_cast<gz_state*>(state);
  isal_inflate_reset(&s->st);
  s->st.crc_flag = ISAL_GZIP;  // parse the gzip header, check the trailer
  return true;
}

member_step gz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<gz_state*>(state);
  s->st.next_in = const_cast<uint8_t*>(in);
  s->st.avail_in = clamp32(in_len);
  s->st.next_out = reinterpret_cast<uint8_t*>(out);
  s->st.avail_out = clamp32(out_len);
  const uint32_t in_was = s->st.avail_in, out_was = s->st.avail_out;
  const int ret = isal_inflate(&s->st);
  member_step r;
  r.used = in_was - s->st.avail_in;
  r.made = out_was - s->st.avail_out;
  r.failed = ret != ISAL_DECOMP_OK && ret != ISAL_END_INPUT && ret != ISAL_OUT_OVERFLOW;
  r.ended = s->st.block_state == ISAL_BLOCK_FINISH;
  return r;
}

bool gz_start(decoder& d) {
  auto* s = static_cast<gz_state*>(std::malloc(sizeof(gz_state)));
  if (s == nullptr) return false;
  isal_inflate_init(&s->st);
  s->reader = member_reader{};
  d.state = s;
  return true;
}

void gz_finish(decoder& d) { std::free(d.state); }

}  // namespace

#elif defined(BRAIDLOGS_GZIP_ZLIB)
#include <zlib.h>

namespace {

struct gz_state {
  z_stream z;
  member_reader reader;
};

bool gz_begin(void* state) { return inflateReset(&static_cast<gz_state*>(state)->z) == Z_OK; }

member_step gz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<gz_state*>(state);
  s->z.next_in = const_cast<Bytef*>(in);
  s->z.avail_in = clamp32(in_len);
  s->z.next_out = reinterpret_cast<Bytef*>(out);
  s->z.avail_out = clamp32(out_len);
  const uInt in_was = s->z.avail_in, out_was = s->z.avail_out;
  const int ret = inflate(&s->z, Z_NO_FLUSH);
  member_step r;
  r.used = in_was - s->z.avail_in;
  r.made = out_was - s->z.avail_out;
  r.ended = ret == Z_STREAM_END;
  r.failed = ret != Z_OK && ret != Z_BUF_ERROR && ret != Z_STREAM_END;
  return r;
}

bool gz_start(decoder& d) {
  auto* s = static_cast<gz_state*>(std::calloc(1, sizeof(gz_state)));
  if (s == nullptr) return false;
  if (inflateInit2(&s->z, 15 + 16) != Z_OK) {  // 16: the gzip wrapper only
    std::free(s);
    return false;
  }
  d.state = s;
  return true;
}

void gz_finish(decoder& d) {
  auto* s = static_cast<gz_state*>(d.state);
  inflateEnd(&s->z);
  std::free(s);
}

}  // namespace
#endif

#if defined(BRAIDLOGS_GZIP_ISAL) || defined(BRAIDLOGS_GZIP_ZLIB)
namespace {

const member_codec kGzipCodec = {gz_begin, gz_step};

ssize_t gz_read(decoder& d, char* out, size_t n) {
  return read_members(d, static_cast<gz_state*>(d.state)->reader, kGzipCodec, out, n);
}

const format_ops kGzip = {gz_start, gz_read, gz_finish};

}  // namespace

const format_ops* const gzip_ops = &kGzip;
#else
const format_ops* const gzip_ops = nullptr;
#endif
