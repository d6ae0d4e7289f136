#include "decode/decoder.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <cstring>

#include "decode/format_ops.h"
#include "io/sys_io.h"

namespace {

// Compressed bytes read at a time.
constexpr size_t kRawBlock = size_t{64} * 1024;

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

const char* compression_name(compression c) {
  switch (c) {
    case compression::gzip: return "gzip";
    case compression::bzip2: return "bzip2";
    case compression::xz: return "xz";
    case compression::zstd: return "zstd";
    case compression::none: break;
  }
  return "plain";
}

const char* truncated_text(compression c) {
  switch (c) {
    case compression::gzip: return "truncated gzip data";
    case compression::bzip2: return "truncated bzip2 data";
    case compression::xz: return "truncated xz data";
    case compression::zstd: return "truncated zstd data";
    case compression::none: break;
  }
  return "truncated data";
}

const char* corrupt_text(compression c) {
  switch (c) {
    case compression::gzip: return "corrupt gzip data";
    case compression::bzip2: return "corrupt bzip2 data";
    case compression::xz: return "corrupt xz data";
    case compression::zstd: return "corrupt zstd data";
    case compression::none: break;
  }
  return "corrupt data";
}

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
    switch (c) {
      case compression::gzip: *problem = "gzip input, but this build has no gzip support"; break;
      case compression::bzip2: *problem = "bzip2 input, but this build has no bzip2 support"; break;
      case compression::xz: *problem = "xz input, but this build has no xz support"; break;
      default: *problem = "zstd input, but this build has no zstd support"; break;
    }
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
