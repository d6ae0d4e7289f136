// gzip: ISA-L's inflate where the build has it, zlib otherwise. Members
// are read one after another to the end of the input, as gzip -dc does.
#include <cstdint>
#include <cstdlib>

#include "decode/format_ops.h"

#if defined(BRAIDLOGS_GZIP_ISAL)
#include <isa-l/igzip_lib.h>

namespace {

struct gz_state {
  inflate_state st;
  bool in_member;  // a member has begun and has not ended
};

bool gz_start(decoder& d) {
  auto* s = static_cast<gz_state*>(std::malloc(sizeof(gz_state)));
  if (s == nullptr) return false;
  isal_inflate_init(&s->st);
  s->st.crc_flag = ISAL_GZIP;
  s->in_member = false;
  d.state = s;
  return true;
}

ssize_t gz_read(decoder& d, char* out, size_t n) {
  auto* s = static_cast<gz_state*>(d.state);
  raw_input& raw = d.raw;
  for (;;) {
    if (!decoder_fill(d)) return -1;
    // Only at the end of the input is nothing left to decode. A member cut
    // short may still have output held in the decoder: take that first.
    const bool at_end = raw.pos == raw.end;
    if (at_end && !s->in_member) return 0;
    if (!s->in_member) {  // the next member starts here
      isal_inflate_reset(&s->st);
      s->st.crc_flag = ISAL_GZIP;
      s->in_member = true;
    }
    s->st.next_in = raw.buf + raw.pos;
    s->st.avail_in = static_cast<uint32_t>(raw.end - raw.pos);
    s->st.next_out = reinterpret_cast<uint8_t*>(out);
    s->st.avail_out = static_cast<uint32_t>(n > UINT32_MAX ? UINT32_MAX : n);
    const uint32_t want = s->st.avail_out;
    const int ret = isal_inflate(&s->st);
    const size_t used = raw.end - raw.pos - s->st.avail_in;
    raw.pos += used;
    if (ret != ISAL_DECOMP_OK && ret != ISAL_END_INPUT && ret != ISAL_OUT_OVERFLOW) {
      d.problem = corrupt_text(compression::gzip);
      return -1;
    }
    if (s->st.block_state == ISAL_BLOCK_FINISH) s->in_member = false;
    const size_t made = want - s->st.avail_out;
    if (made > 0) return static_cast<ssize_t>(made);
    if (at_end && s->in_member) {
      d.problem = truncated_text(compression::gzip);
      return -1;
    }
    if (used == 0 && s->in_member && raw.pos < raw.end) {
      // No progress with input at hand: the data cannot be decoded.
      d.problem = corrupt_text(compression::gzip);
      return -1;
    }
  }
}

void gz_finish(decoder& d) { std::free(d.state); }

const format_ops kGzip = {gz_start, gz_read, gz_finish};

}  // namespace

const format_ops* const gzip_ops = &kGzip;

#elif defined(BRAIDLOGS_GZIP_ZLIB)
#include <zlib.h>

namespace {

struct gz_state {
  z_stream z;
  bool in_member;
};

bool gz_start(decoder& d) {
  auto* s = static_cast<gz_state*>(std::calloc(1, sizeof(gz_state)));
  if (s == nullptr) return false;
  if (inflateInit2(&s->z, 15 + 16) != Z_OK) {  // 16: gzip wrapper only
    std::free(s);
    return false;
  }
  d.state = s;
  return true;
}

ssize_t gz_read(decoder& d, char* out, size_t n) {
  auto* s = static_cast<gz_state*>(d.state);
  raw_input& raw = d.raw;
  for (;;) {
    if (!decoder_fill(d)) return -1;
    // Only at the end of the input is nothing left to decode. A member cut
    // short may still have output held in the decoder: take that first.
    const bool at_end = raw.pos == raw.end;
    if (at_end && !s->in_member) return 0;
    if (!s->in_member) {
      inflateReset(&s->z);
      s->in_member = true;
    }
    s->z.next_in = raw.buf + raw.pos;
    s->z.avail_in = static_cast<uInt>(raw.end - raw.pos);
    s->z.next_out = reinterpret_cast<Bytef*>(out);
    s->z.avail_out = static_cast<uInt>(n > UINT32_MAX ? UINT32_MAX : n);
    const uInt want = s->z.avail_out;
    const int ret = inflate(&s->z, Z_NO_FLUSH);
    const size_t used = raw.end - raw.pos - s->z.avail_in;
    raw.pos += used;
    if (ret == Z_STREAM_END) {
      s->in_member = false;
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      d.problem = corrupt_text(compression::gzip);
      return -1;
    }
    const size_t made = want - s->z.avail_out;
    if (made > 0) return static_cast<ssize_t>(made);
    if (at_end && s->in_member) {
      d.problem = truncated_text(compression::gzip);
      return -1;
    }
    if (used == 0 && s->in_member && raw.pos < raw.end) {
      d.problem = corrupt_text(compression::gzip);
      return -1;
    }
  }
}

void gz_finish(decoder& d) {
  auto* s = static_cast<gz_state*>(d.state);
  inflateEnd(&s->z);
  std::free(s);
}

const format_ops kGzip = {gz_start, gz_read, gz_finish};

}  // namespace

const format_ops* const gzip_ops = &kGzip;

#else
const format_ops* const gzip_ops = nullptr;
#endif
