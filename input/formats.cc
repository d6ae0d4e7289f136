// The table of formats, and what is done by going through it.
#include "input/format.h"

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

scan_step scan_more(uint64_t keep) {
  scan_step r;
  r.keep = keep;
  return r;
}

scan_step scan_sequential(uint64_t offset, bool in_member) {
  scan_step r;
  r.kind = scan_kind::sequential;
  r.offset = offset;
  r.in_member = in_member;
  return r;
}

scan_step scan_piece(const piece& p) {
  scan_step r;
  r.kind = scan_kind::piece;
  r.p = p;
  return r;
}

void* member_scanner_make() { return new (std::nothrow) uint64_t{0}; }
void member_scanner_free(void* scanner) { delete static_cast<uint64_t*>(scanner); }

scan_step member_scan(void* scanner, const unsigned char* p, size_t n, uint64_t at, bool eof,
                      member_size_fn size_of) {
  uint64_t& pos = *static_cast<uint64_t*>(scanner);
  const uint64_t from = pos;
  while (pos - from < kGroupBytes) {
    const uint64_t have = at + n - pos;
    member_size m = size_of(p + (pos - at), have);
    if (m.kind == member_size::known && m.size > kLargestMember) m.kind = member_size::hand_back;
    if (m.kind == member_size::more && have > kLargestMember) m.kind = member_size::hand_back;
    if (m.kind == member_size::known && m.size <= have) {
      pos += m.size;
      continue;
    }
    if (pos > from) break;  // the members so far
    if (m.kind == member_size::hand_back) return scan_sequential(pos, false);
    return eof ? scan_sequential(pos, false) : scan_more(pos);
  }
  return scan_piece(piece{from * 8, pos * 8, from, 0});
}

namespace {

// A decoding thread's: the format's own state, and the member taken.
struct member_piece {
  const format_ops* ops = nullptr;
  void* state = nullptr;
  std::unique_ptr<unsigned char[]> bytes;
  size_t cap = 0, len = 0;
};

}  // namespace

void* member_piece_make(const format_ops& ops) {
  auto* m = new (std::nothrow) member_piece;
  if (m == nullptr) return nullptr;
  m->ops = &ops;
  if ((m->state = ops.make()) == nullptr) {
    delete m;
    return nullptr;
  }
  return m;
}

void member_piece_free(void* state) {
  auto* m = static_cast<member_piece*>(state);
  m->ops->free(m->state);
  delete m;
}

bool member_piece_take(void* state, const unsigned char* p, const piece& pc) {
  auto& m = *static_cast<member_piece*>(state);
  const auto n = static_cast<size_t>((pc.to - pc.from) / 8);
  if (m.cap < n) {
    m.bytes.reset(new (std::nothrow) unsigned char[n]);
    m.cap = m.bytes != nullptr ? n : 0;
    if (m.bytes == nullptr) return false;
  }
  std::memcpy(m.bytes.get(), p, n);
  m.len = n;
  return true;
}

bool member_piece_decode(void* state, piece_out& out) {
  auto& m = *static_cast<member_piece*>(state);
  if (!m.ops->begin(m.state)) return false;
  size_t used = 0;
  for (;;) {
    if (out.cap == out.len && !out.grow(out, out.arg)) return false;
    const member_step s = m.ops->step(m.state, m.bytes.get() + used, m.len - used,
                                      out.buf + out.len, out.cap - out.len);
    used += s.used;
    out.len += s.made;
    if (s.failed || s.no_memory) return false;
    if (s.ended && used == m.len) return true;
    if (s.ended && !m.ops->begin(m.state)) return false;  // the next member of the piece
    if (s.ended) continue;
    if (s.used == 0 && s.made == 0 && out.len < out.cap) return false;  // cut short
  }
}
