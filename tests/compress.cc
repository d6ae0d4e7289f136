#include "tests/compress.h"

#include <stdexcept>

#ifdef BRAIDLOGS_GZIP
#include <zlib.h>
#endif
#ifdef BRAIDLOGS_BZIP2
#include <bzlib.h>
#endif
#ifdef BRAIDLOGS_XZ
#include <lzma.h>
#endif
#ifdef BRAIDLOGS_ZSTD
#include <zstd.h>
#endif

#ifdef BRAIDLOGS_GZIP
namespace {

// One gzip member at level 6, with the header fields of `h` when given.
std::string gzip_member(std::string_view data, gz_header* h) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  if (h != nullptr) deflateSetHeader(&z, h);
  std::string out(deflateBound(&z, data.size()) + 256, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace
#endif

bool can_compress(compression c) {
  switch (c) {
#ifdef BRAIDLOGS_GZIP
    case compression::gzip: return true;
#endif
#ifdef BRAIDLOGS_BZIP2
    case compression::bzip2: return true;
#endif
#ifdef BRAIDLOGS_XZ
    case compression::xz: return true;
#endif
#ifdef BRAIDLOGS_ZSTD
    case compression::zstd: return true;
#endif
    default: return false;
  }
}

std::string compress(compression c, std::string_view data) {
  std::string out;
  switch (c) {
#ifdef BRAIDLOGS_GZIP
    case compression::gzip:
      return gzip_member(data, nullptr);
#endif
#ifdef BRAIDLOGS_BZIP2
    case compression::bzip2: {
      unsigned len = static_cast<unsigned>(data.size() + data.size() / 100 + 600);
      out.resize(len);
      if (BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(data.data()),
                                   static_cast<unsigned>(data.size()), 1, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2");
      out.resize(len);
      return out;
    }
#endif
#ifdef BRAIDLOGS_XZ
    case compression::xz: {
      out.resize(lzma_stream_buffer_bound(data.size()));
      size_t len = 0;
      if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr,
                                  reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                  reinterpret_cast<uint8_t*>(out.data()), &len,
                                  out.size()) != LZMA_OK)
        throw std::runtime_error("xz");
      out.resize(len);
      return out;
    }
#endif
#ifdef BRAIDLOGS_ZSTD
    case compression::zstd: {
      // With a checksum, as the zstd command writes by default.
      out.resize(ZSTD_compressBound(data.size()));
      ZSTD_CCtx* cctx = ZSTD_createCCtx();
      ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
      const size_t len = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
      ZSTD_freeCCtx(cctx);
      if (ZSTD_isError(len)) throw std::runtime_error("zstd");
      out.resize(len);
      return out;
    }
#endif
    default:
      break;
  }
  throw std::runtime_error("format not built in");
}

std::string gzip_with_all_header_fields(std::string_view data) {
#ifdef BRAIDLOGS_GZIP
  unsigned char extra[] = {'B', 'L', 4, 0, 1, 2, 3, 4};
  char name[] = "access.log", comment[] = "rotated by the tests";
  gz_header h{};
  h.extra = extra;
  h.extra_len = sizeof extra;
  h.name = reinterpret_cast<Bytef*>(name);
  h.comment = reinterpret_cast<Bytef*>(comment);
  h.hcrc = 1;
  return gzip_member(data, &h);
#else
  (void)data;
  return {};
#endif
}
