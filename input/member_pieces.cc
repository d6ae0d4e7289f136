// Whole members as pieces: the scanner that walks them by the sizes
// their headers give, and the decoder that decodes one (or a few small
// ones in a row) by the format's own step.
#include "input/member_pieces.h"

#include <cstring>
#include <memory>
#include <new>

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
