// The table of formats, and what is done by going through it.
#include "input/format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

extern const input_format gzip_format, bzip2_format, xz_format, lzma_format, lzip_format,
    zstd_format, lz4_format;

namespace {

sniff_result compress_sniff(const unsigned char* p, size_t n) {
  static const unsigned char kMagic[] = {0x1f, 0x9d};
  return sniff_magic(p, n, kMagic, sizeof kMagic);
}

sniff_result zip_sniff(const unsigned char* p, size_t n) {
  static const unsigned char kMagic[] = {'P', 'K', 3, 4};
  return sniff_magic(p, n, kMagic, sizeof kMagic);
}

// Formats the tools read but braidlogs refuses, by name, at start-up: a
// .Z file or a zip archive is rarely a log, and its bytes must never be
// merged as text.
// Each message says what to do instead.
const input_format compress_format = {
    "compress", "", "",
    "compress (.Z) data, which braidlogs does not read; decompress it first (gzip -dc)",
    compress_sniff, nullptr};
const input_format zip_format = {
    "zip", "", "",
    "a zip archive, which braidlogs does not read; extract the log first (unzip -p)", zip_sniff,
    nullptr};

const input_format* const kFormats[] = {&gzip_format, &bzip2_format, &xz_format,
                                        &lzma_format, &lzip_format,  &zstd_format,
                                        &lz4_format,  &compress_format, &zip_format};

}  // namespace

std::span<const input_format* const> input_formats() { return kFormats; }

const input_format* format_named(std::string_view name) {
  for (const input_format* f : kFormats)
    if (name == f->name) return f;
  return nullptr;
}

const input_format* sniff_format(const unsigned char* p, size_t n, bool* undecided) {
  bool maybe = false;
  for (const input_format* f : kFormats) {
    const sniff_result r = f->sniff(p, n);
    if (r == sniff_result::yes) return f;
    maybe = maybe || r == sniff_result::maybe;
  }
  if (undecided != nullptr) *undecided = maybe;
  return nullptr;
}

boundary boundary_by_magic(const unsigned char* p, size_t n, bool eof,
                           const unsigned char* magic, size_t len) {
  switch (sniff_magic(p, n, magic, len)) {
    case sniff_result::no: return {boundary_kind::garbage};
    case sniff_result::maybe: return {eof ? boundary_kind::truncated : boundary_kind::garbage};
    case sniff_result::yes: break;
  }
  return {boundary_kind::member};
}

bool held_grow(held_text& h, size_t bigger) {
  std::unique_ptr<char[]> grown(new (std::nothrow) char[bigger]);
  if (grown == nullptr) return false;
  if (h.len > 0) std::memcpy(grown.get(), h.buf.get(), h.len);
  h.buf = std::move(grown);
  h.cap = bigger;
  return true;
}

size_t held_give(held_text& h, char* out, size_t n) {
  const size_t take = std::min(n, h.ready - h.given);
  if (take > 0) std::memcpy(out, h.buf.get() + h.given, take);
  h.given += take;
  if (h.given == h.ready) {
    if (h.len > h.ready) std::memmove(h.buf.get(), h.buf.get() + h.ready, h.len - h.ready);
    h.len -= h.ready;
    h.ready = h.given = 0;
  }
  return take;
}
