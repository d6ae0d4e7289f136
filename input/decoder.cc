#include "input/decoder.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "input/format_ops.h"
#include "input/sys_read.h"

namespace {

// Compressed bytes read at a time.
constexpr size_t kRawBlock = size_t{64} * 1024;

struct format_texts {
  const char* name;
  const char* truncated;
  const char* corrupt;
  const char* not_built;
};

// Indexed by compression; the row for `none` is never read.
constexpr format_texts kTexts[] = {
    {"", "", "", ""},
    {"gzip", "truncated gzip data", "corrupt gzip data",
     "gzip input, but this build has no gzip support"},
    {"bzip2", "truncated bzip2 data", "corrupt bzip2 data",
     "bzip2 input, but this build has no bzip2 support"},
    {"xz", "truncated xz data", "corrupt xz data", "xz input, but this build has no xz support"},
    {"zstd", "truncated zstd data", "corrupt zstd data",
     "zstd input, but this build has no zstd support"},
};

const format_texts& texts_for(compression c) { return kTexts[static_cast<int>(c)]; }

const format_ops* ops_for(compression c) {
  switch (c) {
    case compression::gzip: return gzip_ops;
    case compression::bzip2: return bzip2_ops;
    case compression::xz: return xz_ops;
    case compression::zstd: return zstd_ops;
    case compression::none: break;
  }
  return nullptr;
}

bool is_bzip2_signature(const unsigned char* p, size_t n) {
  static const unsigned char kBlock[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
  static const unsigned char kEnd[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
  return n >= 10 && std::memcmp(p, "BZh", 3) == 0 && p[3] >= '1' && p[3] <= '9' &&
         (std::memcmp(p + 4, kBlock, 6) == 0 || std::memcmp(p + 4, kEnd, 6) == 0);
}

bool is_zstd_magic(const unsigned char* p) {
  // A frame, or one of the sixteen skippable-frame magics 0x184D2A50 to
  // 0x184D2A5F (little-endian), which pzstd writes before its frames.
  return (p[0] == 0x28 && p[1] == 0xb5 && p[2] == 0x2f && p[3] == 0xfd) ||
         ((p[0] & 0xf0) == 0x50 && p[1] == 0x2a && p[2] == 0x4d && p[3] == 0x18);
}

// Makes at least `want` unused bytes available in d.raw, unless the input
// ends first. False on a read error (d.error set).
bool raw_want(decoder& d, size_t want) {
  raw_input& r = d.raw;
  while (r.end - r.pos < want && !r.eof) {
    if (r.pos > 0) {
      std::memmove(r.buf, r.buf + r.pos, r.end - r.pos);
      r.end -= r.pos;
      r.pos = 0;
    }
    const ssize_t got = read_retrying(r.fd, r.buf + r.end, r.cap - r.end);
    if (got < 0) {
      d.error = errno;
      return false;
    }
    if (got == 0) r.eof = true;
    r.end += static_cast<size_t>(got);
  }
  return true;
}

ssize_t fail(decoder& d, const char* problem) {
  d.problem = problem;
  return -1;
}

}  // namespace

compression detect_compression(const unsigned char* p, size_t n) {
  if (n >= 3 && p[0] == 0x1f && p[1] == 0x8b && p[2] == 0x08) return compression::gzip;
  if (is_bzip2_signature(p, n)) return compression::bzip2;
  if (n >= 6 && std::memcmp(p, "\xfd" "7zXZ\0", 6) == 0) return compression::xz;
  if (n >= 4 && is_zstd_magic(p)) return compression::zstd;
  return compression::none;
}

const char* compression_name(compression c) { return texts_for(c).name; }

boundary boundary_by_magic(const unsigned char* p, size_t n, bool eof,
                           const unsigned char* magic, size_t len) {
  const size_t have = n < len ? n : len;
  if (std::memcmp(p, magic, have) != 0) return {boundary_kind::garbage};
  if (have < len) return {eof ? boundary_kind::truncated : boundary_kind::garbage};
  return {boundary_kind::member};
}

decoder* decoder_open(compression c, int fd, const unsigned char* head,
                      size_t head_len, int* error, const char** problem) {
  const format_ops* ops = ops_for(c);
  if (ops == nullptr) {
    *problem = texts_for(c).not_built;
    return nullptr;
  }
  auto* d = static_cast<decoder*>(std::malloc(sizeof(decoder)));
  const size_t cap = head_len > kRawBlock ? head_len : kRawBlock;
  auto* buf = static_cast<unsigned char*>(std::malloc(cap));
  if (d == nullptr || buf == nullptr) {
    std::free(d);
    std::free(buf);
    *error = ENOMEM;
    return nullptr;
  }
  new (d) decoder{};
  d->kind = c;
  d->raw.fd = fd;
  d->raw.buf = buf;
  d->raw.cap = cap;
  std::memcpy(buf, head, head_len);
  d->raw.end = head_len;
  if (!ops->start(*d)) {
    std::free(buf);
    std::free(d);
    *error = ENOMEM;
    return nullptr;
  }
  if (!ops->begin(d->state)) {  // the first member, known from the signature
    decoder_close(d);
    *error = ENOMEM;
    return nullptr;
  }
  d->in_member = true;
  return d;
}

// The member loop, the same for every format: feed a member to the library
// until it ends, then look at what follows. The first member was recognised
// from the input's signature and begun at open; after each member the
// format decides whether another member, padding, garbage or a cut-off
// member follows.
ssize_t decoder_read(decoder& d, char* out, size_t n) {
  if (d.error != 0 || d.problem != nullptr) return -1;
  const format_ops& ops = *ops_for(d.kind);
  const format_texts& texts = texts_for(d.kind);
  raw_input& raw = d.raw;
  while (!d.ended) {
    if (!d.in_member) {
      if (!raw_want(d, kBoundaryBytes)) return -1;
      const size_t avail = raw.end - raw.pos;
      if (avail == 0) {  // whole members up to the end of the input
        d.ended = true;
        break;
      }
      const boundary b = ops.follows(raw.buf + raw.pos, avail, raw.eof);
      if (b.kind == boundary_kind::skip) {
        raw.pos += b.skip;
        continue;
      }
      if (b.kind == boundary_kind::garbage) {
        d.trailing_garbage = true;
        d.ended = true;
        break;
      }
      if (b.kind == boundary_kind::truncated) return fail(d, texts.truncated);
      if (!ops.begin(d.state)) {
        d.error = ENOMEM;
        return -1;
      }
      d.in_member = true;
    }
    if (!raw_want(d, 1)) return -1;
    // At the end of the input a member cut short may still have output
    // held in the library: take that before calling it truncated.
    const bool at_end = raw.pos == raw.end;
    const member_step s = ops.step(d.state, raw.buf + raw.pos, raw.end - raw.pos, out, n);
    raw.pos += s.used;
    // What a call made before it found damage is sound output: hand it out
    // now; the failure, kept in d, ends the next call.
    if (s.no_memory) d.error = ENOMEM;
    if (s.failed) d.problem = s.problem != nullptr ? s.problem : texts.corrupt;
    if (s.ended) d.in_member = false;
    if (s.made > 0) return static_cast<ssize_t>(s.made);
    if (s.failed || s.no_memory) return -1;
    if (s.ended) continue;
    if (at_end) return fail(d, texts.truncated);
    // No progress with input at hand: the data cannot be decoded.
    if (s.used == 0) return fail(d, texts.corrupt);
  }
  return 0;
}

void decoder_close(decoder* d) {
  if (d == nullptr) return;
  ops_for(d->kind)->finish(*d);
  std::free(d->raw.buf);
  std::free(d);
}
