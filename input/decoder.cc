#include "input/decoder.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "input/sys_read.h"

namespace {

// Compressed bytes read at a time.
constexpr size_t kRawBlock = size_t{64} * 1024;

void* take_state(decoder_stock* stock, const format_ops& ops) {
  if (stock != nullptr) {
    std::lock_guard<std::mutex> lock(stock->lock);
    for (size_t k = 0; k < stock->nkept; ++k) {
      if (stock->kept[k].ops != &ops) continue;
      void* state = stock->kept[k].state;
      stock->kept[k] = stock->kept[--stock->nkept];
      return state;
    }
  }
  return ops.make();
}

// What a closing decoder leaves for the next, while the stock has room:
// its state, unless it failed, and its buffer when it held whole members.
void keep_for_next(decoder& d) {
  const format_ops& ops = *d.format->ops;
  bool state_kept = false;
  if (decoder_stock* stock = d.stock; stock != nullptr) {
    std::lock_guard<std::mutex> lock(stock->lock);
    if (stock->keep && d.state != nullptr && !fault_failed(*d.fault) &&
        stock->nkept < kKeptStates) {
      stock->kept[stock->nkept++] = {&ops, d.state};
      state_kept = true;
    }
    if (stock->keep && d.held.cap == kHeldMost && stock->nheld < kKeptStates)
      stock->held[stock->nheld++] = std::move(d.held.buf);
  }
  if (d.state != nullptr && !state_kept) ops.free(d.state);
}

// Makes at least `want` unused bytes available in d.raw, unless the input
// ends first. False on a read error (the fault set).
bool raw_want(decoder& d, size_t want) {
  raw_input& r = d.raw;
  while (r.end - r.pos < want && !r.eof) {
    if (r.pos > 0) {
      std::memmove(r.buf.get(), r.buf.get() + r.pos, r.end - r.pos);
      r.end -= r.pos;
      r.pos = 0;
    }
    const ssize_t got = read_retrying(r.reads, r.fd, r.buf.get() + r.end, r.cap - r.end);
    if (got < 0) {
      d.fault->error = errno;
      return false;
    }
    std::atomic_ref<uint64_t> consumed(*d.consumed);
    const uint64_t read = std::max(consumed.load(std::memory_order_relaxed), d.read_most);
    if (got == 0 && file_shrank(r.fd, read, *d.extent)) {
      d.fault->problem = kFileTruncated;
      return false;
    }
    if (got == 0) r.eof = true;
    r.end += static_cast<size_t>(got);
    consumed.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
  }
  return true;
}

ssize_t fail(decoder& d, const char* problem) {
  d.fault->problem = problem;
  return -1;
}

// A member begins: its text is held when its format asks.
void member_begun(decoder& d) {
  d.in_member = true;
  held_clear(d.held);
  d.holding = d.format->ops->hold_members && !d.unchecked;
}

// Room in the held buffer for a step: a kept buffer of kHeldMost when the
// stock has one, else grown up to kHeldMost. False: no memory.
bool held_room(decoder& d) {
  held_text& h = d.held;
  if (h.cap - h.len >= 4096 || h.cap >= kHeldMost) return true;
  if (h.cap == 0 && d.stock != nullptr) {
    std::lock_guard<std::mutex> lock(d.stock->lock);
    if (d.stock->nheld > 0) {
      h.buf = std::move(d.stock->held[--d.stock->nheld]);
      h.cap = kHeldMost;
      return true;
    }
  }
  return held_grow(h, std::min(std::max(2 * h.cap, size_t{64} << 10), kHeldMost));
}

ssize_t give_held(decoder& d, char* out, size_t n) {
  return static_cast<ssize_t>(held_give(d.held, out, n));
}

}  // namespace

bool decoders_forget(decoder_stock& stock) {
  std::lock_guard<std::mutex> lock(stock.lock);
  const bool any = stock.nkept > 0 || stock.nheld > 0;
  for (size_t k = 0; k < stock.nkept; ++k) stock.kept[k].ops->free(stock.kept[k].state);
  stock.nkept = 0;
  for (size_t k = 0; k < stock.nheld; ++k) stock.held[k].reset();
  stock.nheld = 0;
  return any;
}

void decoder_closer::operator()(decoder* d) const {
  decoder_stock* stock = d->stock;
  keep_for_next(*d);
  delete d;
  if (stock != nullptr) stock->alive.fetch_sub(1, std::memory_order_relaxed);
}

size_t decoders_peak(const decoder_stock& stock) {
  return stock.peak.load(std::memory_order_relaxed);
}

decoder_ptr decoder_open(decoder_stock* stock, const input_format& f, int fd, const read_seam& reads,
                         const unsigned char* head, size_t head_len, read_fault& fault,
                         uint64_t& consumed, const file_extent& extent, bool unchecked) {
  if (f.ops == nullptr) {
    fault.problem = f.not_built;
    return nullptr;
  }
  decoder* made = new (std::nothrow) decoder;
  if (made != nullptr && stock != nullptr) {
    made->stock = stock;
    const size_t now = stock->alive.fetch_add(1, std::memory_order_relaxed) + 1;
    if (now > stock->peak.load(std::memory_order_relaxed))
      stock->peak.store(now, std::memory_order_relaxed);
  }
  decoder_ptr d(made);
  const size_t cap = head_len > kRawBlock ? head_len : kRawBlock;
  if (d != nullptr) {
    d->format = &f;
    d->fault = &fault;
    d->consumed = &consumed;
    d->extent = &extent;
    d->raw.fd = fd;
    d->raw.reads = reads;
    d->raw.buf.reset(new (std::nothrow) unsigned char[cap]);
  }
  if (d == nullptr || d->raw.buf == nullptr || (d->state = take_state(stock, *f.ops)) == nullptr ||
      !f.ops->begin(d->state)) {  // the first member, known from the signature
    fault.error = ENOMEM;
    return nullptr;
  }
  if (f.ops->share_threads != nullptr)
    f.ops->share_threads(d->state, stock != nullptr ? &stock->threaded : nullptr);
  if (f.ops->unchecked != nullptr) f.ops->unchecked(d->state, unchecked);  // told afresh
  d->raw.cap = cap;
  std::memcpy(d->raw.buf.get(), head, head_len);
  d->raw.end = head_len;
  d->unchecked = unchecked;
  member_begun(*d);
  return d;
}

void decoder_fail(decoder& d, int error) { d.fault->error = error; }

ssize_t decoder_read_raw(decoder& d, unsigned char* buf, size_t n) {
  raw_input& r = d.raw;
  if (r.pos < r.end) {  // the head, read at open
    const size_t take = std::min(n, r.end - r.pos);
    std::memcpy(buf, r.buf.get() + r.pos, take);
    r.pos += take;
    return static_cast<ssize_t>(take);
  }
  const ssize_t got = read_retrying(r.reads, r.fd, buf, n);
  if (got > 0)
    std::atomic_ref<uint64_t>(*d.consumed).fetch_add(static_cast<uint64_t>(got),
                                                     std::memory_order_relaxed);
  return got;
}

bool decoder_resume_at(decoder& d, uint64_t offset, bool in_member, uint64_t skip) {
  std::atomic_ref<uint64_t> consumed(*d.consumed);
  d.read_most = std::max(d.read_most, consumed.load(std::memory_order_relaxed));
  if (::lseek(d.raw.fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    d.fault->error = errno;
    return false;
  }
  consumed.store(offset, std::memory_order_relaxed);
  d.raw.pos = d.raw.end = 0;
  d.raw.eof = false;
  d.ended = false;
  d.in_member = false;
  held_clear(d.held);
  d.holding = false;
  d.skip = in_member ? skip : 0;
  if (in_member && !d.format->ops->begin(d.state)) {
    d.fault->error = ENOMEM;
    return false;
  }
  if (in_member) member_begun(d);
  return true;
}

namespace {

// The member loop, the same for every format: feed a member to the library
// until it ends, then look at what follows. The first member was recognised
// from the input's signature and begun at open; after each member the
// format decides whether another member, padding, garbage or a cut-off
// member follows.
ssize_t member_loop(decoder& d, char* out, size_t n) {
  if (d.held.given < d.held.ready) return give_held(d, out, n);
  if (fault_failed(*d.fault)) return -1;
  const format_ops& ops = *d.format->ops;
  raw_input& raw = d.raw;
  while (!d.ended) {
    if (!d.in_member) {
      if (!raw_want(d, kBoundaryBytes)) return -1;
      const size_t avail = raw.end - raw.pos;
      if (avail == 0) {  // whole members up to the end of the input
        d.ended = true;
        break;
      }
      const boundary b = ops.follows(raw.buf.get() + raw.pos, avail, raw.eof);
      if (b.kind == boundary_kind::skip) {
        raw.pos += b.skip;
        continue;
      }
      if (b.kind == boundary_kind::garbage || b.kind == boundary_kind::ignore_rest) {
        d.fault->trailing_garbage = b.kind == boundary_kind::garbage;
        d.ended = true;
        break;
      }
      if (b.kind == boundary_kind::truncated) return fail(d, d.format->truncated);
      if (b.kind == boundary_kind::corrupt) return fail(d, d.format->corrupt);
      if (!ops.begin(d.state)) {
        d.fault->error = ENOMEM;
        return -1;
      }
      member_begun(d);
    }
    if (!raw_want(d, 1)) return -1;
    // At the end of the input a member cut short may still have output
    // held in the library: take that before calling it truncated.
    const bool at_end = raw.pos == raw.end;
    held_text& h = d.held;
    if (d.holding && !held_room(d)) {
      d.fault->error = ENOMEM;
      return -1;
    }
    if (d.holding && h.len == h.cap) {  // too large to hold: out as it comes
      d.holding = false;
      h.ready = h.len;
      return give_held(d, out, n);
    }
    char* into = d.holding ? h.buf.get() + h.len : out;
    const member_step s = ops.step(d.state, raw.buf.get() + raw.pos, raw.end - raw.pos, into,
                                   d.holding ? h.cap - h.len : n);
    raw.pos += s.used;
    // What a call made before it found damage is sound output: hand it out
    // now; the failure, kept in the fault, ends the next call. A held
    // member's text goes out only once the member has ended.
    if (s.no_memory) d.fault->error = ENOMEM;
    if (s.failed) d.fault->problem = s.problem != nullptr ? s.problem : d.format->corrupt;
    if (d.holding) {
      h.len += s.made;
      if (s.failed || s.no_memory) return -1;
      if (s.ended) {
        d.in_member = false;
        d.holding = false;
        h.ready = h.len;
        if (h.ready > 0) return give_held(d, out, n);
        continue;
      }
      if (s.made > 0) continue;
    } else {
      if (s.ended) d.in_member = false;
      if (s.made > 0) return static_cast<ssize_t>(s.made);
      if (s.failed || s.no_memory) return -1;
      if (s.ended) continue;
    }
    if (at_end) return fail(d, d.format->truncated);
    if (s.used == 0 && s.want > raw.end - raw.pos) {
      if (!raw_want(d, s.want)) return -1;
      if (raw.end - raw.pos < s.want) return fail(d, d.format->truncated);
      continue;
    }
    // No progress with input at hand: the data cannot be decoded.
    if (s.used == 0) return fail(d, d.format->corrupt);
  }
  return 0;
}

}  // namespace

ssize_t decoder_read(decoder& d, char* out, size_t n) {
  for (;;) {
    const ssize_t got = member_loop(d, out, n);
    if (got <= 0 || d.skip == 0) return got;
    const auto made = static_cast<size_t>(got);
    const size_t drop = static_cast<size_t>(std::min<uint64_t>(d.skip, made));
    d.skip -= drop;
    if (drop < made) {
      std::memmove(out, out + drop, made - drop);
      return static_cast<ssize_t>(made - drop);
    }
  }
}
