// gzip: ISA-L's inflate where the build has it, zlib otherwise. Members
// are read one after another to the end of the input, as gzip -dc does;
// zero bytes after the last member are ignored, as gzip ignores them.
#include <cstdint>
#include <new>

#include "input/format.h"
#include "input/member_pieces.h"

namespace {

// A member's first bytes: the magic number and the method, deflate. An
// input is gzip when it opens with all three; after a member, the magic
// alone begins another (whose header then must be sound).
const unsigned char kMagic[] = {0x1f, 0x8b, 0x08};

sniff_result gz_sniff(const unsigned char* p, size_t n) {
  return sniff_magic(p, n, kMagic, sizeof kMagic);
}

[[maybe_unused]] boundary gz_follows(const unsigned char* p, size_t n, bool eof) {
  if (p[0] == 0) {
    for (size_t i = 1; i < n; ++i)
      if (p[i] != 0) return {boundary_kind::garbage};
    return {boundary_kind::skip, n};
  }
  return boundary_by_magic(p, n, eof, kMagic, 2);
}

}  // namespace

#if defined(BRAIDLOGS_GZIP_ISAL)
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

namespace {

// The member header (RFC 1952), read a byte at a time so that it may arrive
// split anywhere. ISA-L then inflates the body and checks the trailer.
enum class head_stage { fixed, extra_len, extra, name, comment, hcrc, done };

constexpr uint8_t kFlagHcrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08,
                  kFlagComment = 0x10, kFlagsReserved = 0xe0;

struct gz_head {
  head_stage stage = head_stage::fixed;
  uint8_t flags = 0;
  uint32_t count = 0;  // bytes of the current stage seen
  uint32_t need = 0;   // the extra field's length, the stored header CRC
  uint32_t crc = 0;    // CRC-32 of the header bytes before the stored CRC
};

// The stage after `from`, as the flags ask.
head_stage next_stage(const gz_head& h, head_stage from) {
  switch (from) {
    case head_stage::fixed:
      if (h.flags & kFlagExtra) return head_stage::extra_len;
      [[fallthrough]];
    case head_stage::extra_len:
    case head_stage::extra:
      if (h.flags & kFlagName) return head_stage::name;
      [[fallthrough]];
    case head_stage::name:
      if (h.flags & kFlagComment) return head_stage::comment;
      [[fallthrough]];
    case head_stage::comment:
      if (h.flags & kFlagHcrc) return head_stage::hcrc;
      [[fallthrough]];
    default:
      return head_stage::done;
  }
}

// Takes header bytes from p; returns how many, or -1 when the header is
// not one gzip accepts (method not deflate, reserved flags, bad CRC).
long read_head(gz_head& h, const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n && h.stage != head_stage::done) {
    const uint8_t b = p[i++];
    if (h.stage != head_stage::hcrc) h.crc = crc32_gzip_refl(h.crc, &b, 1);
    head_stage after = h.stage;
    switch (h.stage) {
      case head_stage::fixed:
        if ((h.count == 0 && b != 0x1f) || (h.count == 1 && b != 0x8b) ||
            (h.count == 2 && b != 8) || (h.count == 3 && (b & kFlagsReserved) != 0))
          return -1;
        if (h.count == 3) h.flags = b;
        if (++h.count == 10) after = next_stage(h, h.stage);
        break;
      case head_stage::extra_len:
        h.need |= uint32_t{b} << (8 * h.count);
        if (++h.count == 2) after = h.need > 0 ? head_stage::extra : next_stage(h, h.stage);
        break;
      case head_stage::extra:
        if (++h.count == h.need) after = next_stage(h, h.stage);
        break;
      case head_stage::name:
      case head_stage::comment:
        if (b == 0) after = next_stage(h, h.stage);
        break;
      case head_stage::hcrc:
        h.need |= uint32_t{b} << (8 * h.count);
        if (++h.count == 2) {
          if (h.need != (h.crc & 0xffff)) return -1;
          after = head_stage::done;
        }
        break;
      case head_stage::done:
        break;
    }
    if (after != h.stage) {
      if (after == head_stage::extra) {
        h.count = 0;  // keep `need`: the extra field's length
      } else {
        h.count = h.need = 0;
      }
      h.stage = after;
    }
  }
  return static_cast<long>(i);
}

struct gz_state {
  gz_head head;
  inflate_state st;
};

bool gz_begin(void* state) {
  auto* s = static_cast<gz_state*>(state);
  s->head = gz_head{};
  isal_inflate_reset(&s->st);
  s->st.crc_flag = ISAL_GZIP_NO_HDR_VER;  // body and trailer, checked
  return true;
}

member_step gz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<gz_state*>(state);
  member_step r;
  if (s->head.stage != head_stage::done) {
    const long took = read_head(s->head, in, in_len);
    if (took < 0) {
      r.failed = true;
      return r;
    }
    r.used = static_cast<size_t>(took);
    in += r.used;
    in_len -= r.used;
    if (s->head.stage != head_stage::done) return r;
  }
  s->st.next_in = const_cast<uint8_t*>(in);
  s->st.avail_in = clamp32(in_len);
  s->st.next_out = reinterpret_cast<uint8_t*>(out);
  s->st.avail_out = clamp32(out_len);
  const uint32_t in_was = s->st.avail_in, out_was = s->st.avail_out;
  const int ret = isal_inflate(&s->st);
  r.used += in_was - s->st.avail_in;
  r.made = out_was - s->st.avail_out;
  r.failed = ret != ISAL_DECOMP_OK && ret != ISAL_END_INPUT && ret != ISAL_OUT_OVERFLOW;
  r.ended = !r.failed && s->st.block_state == ISAL_BLOCK_FINISH;
  return r;
}

void* gz_make() {
  auto* s = new (std::nothrow) gz_state;
  if (s != nullptr) isal_inflate_init(&s->st);
  return s;
}

void gz_free(void* state) { delete static_cast<gz_state*>(state); }

}  // namespace

#elif defined(BRAIDLOGS_GZIP_ZLIB)
#include <zlib.h>

namespace {

struct gz_state {
  z_stream z;
  bool live;  // inflateInit2 succeeded
};

// zlib reads the header itself, split or not, checks its CRC when it has
// one, and refuses reserved flags.
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
  r.no_memory = ret == Z_MEM_ERROR;
  r.failed = ret != Z_OK && ret != Z_BUF_ERROR && ret != Z_STREAM_END && !r.no_memory;
  return r;
}

void gz_free(void* state) {
  auto* s = static_cast<gz_state*>(state);
  if (s->live) inflateEnd(&s->z);
  delete s;
}

void* gz_make() {
  auto* s = new (std::nothrow) gz_state{};
  if (s == nullptr) return nullptr;
  s->live = inflateInit2(&s->z, 15 + 16) == Z_OK;  // 16: the gzip wrapper only
  if (!s->live) {
    gz_free(s);
    return nullptr;
  }
  return s;
}

}  // namespace
#endif

#if defined(BRAIDLOGS_GZIP_ISAL) || defined(BRAIDLOGS_GZIP_ZLIB)
namespace {

// Pieces: members that say their size, as BGZF (bgzip) writes them: an
// extra field whose subfield "BC" holds the member's size less one. Any
// other member, or anything else, goes to the member loop.
member_size bgzf_size(const unsigned char* q, uint64_t have) {
  constexpr size_t kHead = 18;  // the fixed header, XLEN and one "BC" subfield
  if (have < kHead) return {member_size::more};
  const bool bgzf = q[0] == 0x1f && q[1] == 0x8b && q[2] == 8 && (q[3] & 0x04) != 0 &&
                    q[10] >= 6 && q[12] == 'B' && q[13] == 'C' && q[14] == 2 && q[15] == 0;
  if (!bgzf) return {};
  return {member_size::known, (uint64_t{q[16]} | uint64_t{q[17]} << 8) + 1};
}

extern const format_ops kOps;
const piece_ops kPieces = member_pieces<bgzf_size, &kOps>();

const format_ops kOps = {.make = gz_make, .free = gz_free, .begin = gz_begin, .step = gz_step,
                         .follows = gz_follows, .pieces = &kPieces, .hold_members = true};
}  // namespace
extern const input_format gzip_format = {BRAIDLOGS_FORMAT_TEXTS("gzip"), gz_sniff, &kOps};
#else
extern const input_format gzip_format = {BRAIDLOGS_FORMAT_TEXTS("gzip"), gz_sniff, nullptr};
#endif
