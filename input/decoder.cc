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

// What each format is called, and the messages about it.
struct format_texts {
  const char* name;
  const char* truncated;
  const char* corrupt;
  const char* not_built;
};

const format_texts& texts_for(compression c) {
  static const format_texts kTexts[] = {
      {"plain", "truncated data", "corrupt data", "unknown input"},
      {"gzip", "truncated gzip data", "corrupt gzip data",
       "gzip input, but this build has no gzip support"},
      {"bzip2", "truncated bzip2 data", "corrupt bzip2 data",
       "bzip2 input, but this build has no bzip2 support"},
      {"xz", "truncated xz data", "corrupt xz data",
       "xz input, but this build has no xz support"},
      {"zstd", "truncated zstd data", "corrupt zstd data",
       "zstd input, but this build has no zstd support"},
  };
  return kTexts[static_cast<int>(c)];
}

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

}  // namespace

compression detect_compression(const unsigned char* p, size_t n) {
  if (n >= 2 && p[0] == 0x1f && p[1] == 0x8b) return compression::gzip;
  if (n >= 3 && std::memcmp(p, "BZh", 3) == 0) return compression::bzip2;
  if (n >= 6 && std::memcmp(p, "\xfd" "7zXZ\0", 6) == 0) return compression::xz;
  if (n >= 4 && std::memcmp(p, "\x28\xb5\x2f\xfd", 4) == 0) return compression::zstd;
  return compression::none;
}

const char* compression_name(compression c) { return texts_for(c).name; }
const char* truncated_text(compression c) { return texts_for(c).truncated; }
const char* corrupt_text(compression c) { return texts_for(c).corrupt; }

bool decoder_fill(decoder& d) {
  raw_input& r = d.raw;
  if (r.pos < r.end || r.eof) return true;
  const ssize_t got = read_retrying(r.fd, r.buf, r.cap);
  if (got < 0) {
    d.error = errno;
    return false;
  }
  r.pos = 0;
  r.end = static_cast<size_t>(got);
  if (got == 0) r.eof = true;
  return true;
}

decoder* decoder_open(compression c, int fd, const unsigned char* head,
                      size_t head_len, const char** problem) {
  const format_ops* ops = ops_for(c);
  if (ops == nullptr) {
    *problem = texts_for(c).not_built;
    return nullptr;
  }
  auto* d = static_cast<decoder*>(std::malloc(sizeof(decoder)));
  unsigned char* buf = static_cast<unsigned char*>(std::malloc(kRawBlock));
  if (d == nullptr || buf == nullptr) {
    std::free(d);
    std::free(buf);
    *problem = std::strerror(ENOMEM);
    return nullptr;
  }
  new (d) decoder{};
  d->kind = c;
  d->raw.fd = fd;
  d->raw.buf = buf;
  d->raw.cap = kRawBlock;
  std::memcpy(buf, head, head_len);
  d->raw.end = head_len;
  if (!ops->start(*d)) {
    std::free(buf);
    std::free(d);
    *problem = std::strerror(ENOMEM);
    return nullptr;
  }
  return d;
}

ssize_t decoder_read(decoder& d, char* out, size_t n) {
  if (d.error != 0 || d.problem != nullptr) return -1;
  return ops_for(d.kind)->read(d, out, n);
}

void decoder_close(decoder* d) {
  if (d == nullptr) return;
  ops_for(d->kind)->finish(*d);
  std::free(d->raw.buf);
  std::free(d);
}
