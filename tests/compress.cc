#include "tests/compress.h"

#include <algorithm>
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
#ifdef BRAIDLOGS_LZ4
#include <lz4frame.h>
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

namespace {

#ifdef BRAIDLOGS_BZIP2
std::string bzip2_stream(std::string_view data) {
  std::string out;
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
std::string xz_stream(std::string_view data) {
  std::string out(lzma_stream_buffer_bound(data.size()), '\0');
  size_t len = 0;
  if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr,
                              reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                              reinterpret_cast<uint8_t*>(out.data()), &len,
                              out.size()) != LZMA_OK)
    throw std::runtime_error("xz");
  out.resize(len);
  return out;
}

// Runs the encoder set up in z over data to its end, and frees it.
std::string lzma_encode(lzma_stream& z, std::string_view data, const char* what) {
  std::string out(lzma_stream_buffer_bound(data.size()) + 1024, '\0');
  z.next_in = reinterpret_cast<const uint8_t*>(data.data());
  z.avail_in = data.size();
  z.next_out = reinterpret_cast<uint8_t*>(out.data());
  z.avail_out = out.size();
  lzma_ret ret;
  while ((ret = lzma_code(&z, LZMA_FINISH)) == LZMA_OK) {
  }
  out.resize(out.size() - z.avail_out);
  lzma_end(&z);
  if (ret != LZMA_STREAM_END) throw std::runtime_error(what);
  return out;
}

// .lzma as xz --format=lzma writes it: preset 1, size unknown, end marker.
std::string lzma_alone(std::string_view data) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 1);
  lzma_stream z = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&z, &opt) != LZMA_OK) throw std::runtime_error("lzma");
  return lzma_encode(z, data, "lzma");
}
#endif

#ifdef BRAIDLOGS_LZ4
// With a content checksum, as the lz4 command writes by default, and
// blocks of 64 KiB (or as `block` says).
std::string lz4_frame(std::string_view data, LZ4F_blockSizeID_t block = LZ4F_default) {
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.contentChecksumFlag = LZ4F_contentChecksumEnabled;
  prefs.frameInfo.blockSizeID = block;
  std::string out(LZ4F_compressFrameBound(data.size(), &prefs), '\0');
  const size_t len = LZ4F_compressFrame(out.data(), out.size(), data.data(), data.size(), &prefs);
  if (LZ4F_isError(len)) throw std::runtime_error("lz4");
  out.resize(len);
  return out;
}
#endif

#ifdef BRAIDLOGS_ZSTD
// With a checksum, as the zstd command writes by default.
std::string zstd_frame(std::string_view data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  const size_t len = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(cctx);
  if (ZSTD_isError(len)) throw std::runtime_error("zstd");
  out.resize(len);
  return out;
}
#endif

#ifdef BRAIDLOGS_GZIP
std::string gzip_plain(std::string_view data) { return gzip_member(data, nullptr); }
#endif

struct compressor {
  const char* format;
  std::string (*make)(std::string_view data);
};

// One row for each format that this build reads and the tests can make.
const compressor kCompressors[] = {
#ifdef BRAIDLOGS_GZIP
    {"gzip", gzip_plain},
#endif
#ifdef BRAIDLOGS_BZIP2
    {"bzip2", bzip2_stream},
#endif
#ifdef BRAIDLOGS_XZ
    {"xz", xz_stream},
    {"lzma", lzma_alone},
#endif
#ifdef BRAIDLOGS_ZSTD
    {"zstd", zstd_frame},
#endif
#ifdef BRAIDLOGS_LZ4
    {"lz4", [](std::string_view data) { return lz4_frame(data); }},
#endif
    {"", nullptr},
};

const compressor* compressor_for(std::string_view name) {
  for (const compressor& c : kCompressors)
    if (c.make != nullptr && name == c.format) return &c;
  return nullptr;
}

}  // namespace

std::vector<std::string> compressed_formats() {
  std::vector<std::string> names;
  for (const input_format* f : input_formats())
    if (can_compress(f->name)) names.emplace_back(f->name);
  return names;
}

bool can_compress(std::string_view name) {
  const input_format* f = format_named(name);
  return f != nullptr && f->ops != nullptr && compressor_for(name) != nullptr;
}

std::string compress(std::string_view name, std::string_view data) {
  if (!can_compress(name)) throw std::runtime_error("format not built in");
  return compressor_for(name)->make(data);
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

std::string bgzf(std::string_view data) {
#ifdef BRAIDLOGS_GZIP
  constexpr size_t kChunk = 60000;
  std::string out;
  for (size_t at = 0;; at += kChunk) {  // the last member is empty: BGZF's end marker
    unsigned char extra[] = {'B', 'C', 2, 0, 0, 0};
    gz_header h{};
    h.extra = extra;
    h.extra_len = sizeof extra;
    std::string m = gzip_member(data.substr(std::min(at, data.size()), kChunk), &h);
    m[16] = static_cast<char>((m.size() - 1) & 0xff);  // the member's size less one
    m[17] = static_cast<char>((m.size() - 1) >> 8);
    out += m;
    if (at >= data.size()) return out;
  }
#else
  (void)data;
  return {};
#endif
}

std::string xz_with_blocks(std::string_view data, size_t block) {
#ifdef BRAIDLOGS_XZ
  lzma_mt mt{};
  mt.threads = 2;
  mt.block_size = block;
  mt.preset = 0;
  mt.check = LZMA_CHECK_CRC64;
  lzma_stream z = LZMA_STREAM_INIT;
  if (lzma_stream_encoder_mt(&z, &mt) != LZMA_OK) throw std::runtime_error("xz");
  return lzma_encode(z, data, "xz");
#else
  (void)data, (void)block;
  return {};
#endif
}

std::string zstd_with_window(std::string_view data, int window_log) {
#ifdef BRAIDLOGS_ZSTD
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
  std::string out(ZSTD_compressBound(data.size()) + 64, '\0');
  ZSTD_outBuffer o = {out.data(), out.size(), 0};
  ZSTD_inBuffer i = {data.data(), data.size(), 0};
  // Given a piece at a time, the size is not known and the window stays.
  size_t left = ZSTD_compressStream2(cctx, &o, &i, ZSTD_e_continue);
  while (!ZSTD_isError(left) && (left = ZSTD_compressStream2(cctx, &o, &i, ZSTD_e_end)) > 0) {
  }
  ZSTD_freeCCtx(cctx);
  if (ZSTD_isError(left)) throw std::runtime_error("zstd");
  out.resize(o.pos);
  return out;
#else
  (void)data;
  (void)window_log;
  return {};
#endif
}

std::string lz4_with_large_blocks(std::string_view data) {
#ifdef BRAIDLOGS_LZ4
  return lz4_frame(data, LZ4F_max4MB);
#else
  (void)data;
  return {};
#endif
}

std::vector<size_t> xz_block_starts(std::string_view z) {
  std::vector<size_t> starts;
#ifdef BRAIDLOGS_XZ
  const auto* bytes = reinterpret_cast<const uint8_t*>(z.data());
  lzma_stream_flags footer;
  if (z.size() < 24 || lzma_stream_footer_decode(&footer, bytes + z.size() - 12) != LZMA_OK)
    return starts;
  const size_t index_at = z.size() - 12 - footer.backward_size;
  lzma_index* index = nullptr;
  uint64_t limit = UINT64_MAX;
  size_t pos = index_at;
  if (lzma_index_buffer_decode(&index, &limit, nullptr, bytes, &pos, z.size() - 12) != LZMA_OK)
    return starts;
  lzma_index_iter it;
  lzma_index_iter_init(&it, index);
  while (!lzma_index_iter_next(&it, LZMA_INDEX_ITER_BLOCK))
    starts.push_back(static_cast<size_t>(it.block.compressed_stream_offset));
  lzma_index_end(index, nullptr);
#else
  (void)z;
#endif
  return starts;
}
