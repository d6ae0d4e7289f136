#include "input/ahead_pieces.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

// A format whose members come in pieces is decoded a piece a block: a
// worker takes the scanner, marks the next piece and takes its bytes,
// lets go of the scanner, and decodes the piece while others scan and
// decode the pieces after it; pieces are counted filled in order.

namespace {

// Pieces counted filled: those decoded in order from `filled` on, and the
// bytes they add to their member's. Under the lock.
void count_pieces(ahead_input* in) {
  while (in->filled < in->claimed && in->piece_done[in->filled % in->ring]) {
    const size_t slot = in->filled % in->ring;
    in->piece_done[slot] = false;
    if (in->piece_member[slot] != in->member) in->member_out = 0;
    in->member = in->piece_member[slot];
    in->member_out += in->len[slot];
    ++in->filled;
  }
}

// The member loop goes on from `at`. Under the lock.
void hand_back(ahead_input* in, uint64_t at, bool in_member) {
  in->resume = true;
  in->resume_at = at;
  in->resume_in_member = in_member;
}

// Reads the file on for the scanner until it says what comes next. Outside
// the lock, with the scanner held. A read error ends the scanning as the
// file's end would: the member loop then meets the error itself.
scan_step scan_on(ahead_input* in) {
  for (;;) {
    const scan_step st = in->pieces->scan(in->scanner, in->window.get(), in->window_len,
                                          in->window_at, in->window_eof);
    if (st.kind != scan_kind::more) return st;
    if (in->window_eof) return scan_step{scan_kind::sequential, {}, 0, st.keep, false};
    if (in->window_cap - in->window_len < kScanRead) {  // drop what it no longer needs
      const size_t drop = static_cast<size_t>(st.keep - in->window_at);
      if (in->window_len > drop)
        std::memmove(in->window.get(), in->window.get() + drop, in->window_len - drop);
      in->window_len -= drop;
      in->window_at = st.keep;
    }
    if (in->window_cap - in->window_len < kScanRead) {
      const size_t bigger = std::max(2 * in->window_cap, in->window_len + kScanRead);
      std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[bigger]);
      if (grown == nullptr) {
        in->window_eof = true;
        continue;
      }
      if (in->window_len > 0) std::memcpy(grown.get(), in->window.get(), in->window_len);
      in->window = std::move(grown);
      in->window_cap = bigger;
    }
    const ssize_t got = decoder_read_raw(*in->dec, in->window.get() + in->window_len,
                                         in->window_cap - in->window_len);
    if (got <= 0) in->window_eof = true;
    if (got > 0) in->window_len += static_cast<size_t>(got);
  }
}

struct grow_arg {
  ahead_pool* g;
  block_ptr* data;
};

bool grow_piece(piece_out& out, void* arg) {
  auto* a = static_cast<grow_arg*>(arg);
  const size_t bigger = std::max(2 * out.cap, kPieceBytes);
  block_ptr more = block_take(a->g->region, bigger);
  if (more == nullptr) return false;
  if (out.len > 0) std::memcpy(more.get(), out.buf, out.len);
  *a->data = std::move(more);
  out.buf = a->data->get();
  out.cap = bigger;
  return true;
}

}  // namespace

void fill_piece(ahead_pool& g, const ahead_job& job, piece_worker& w,
                std::unique_lock<std::mutex>& lock) {
  ahead_input* in = job.in;
  if (w.ops != in->pieces) {
    if (w.state != nullptr) {
      w.ops->free(w.state);
      --g.states;
    }
    w.ops = in->pieces;
    w.state = w.ops->make();
    if (w.state != nullptr) ++g.states;
  }
  if (w.state == nullptr) {  // no memory: the member loop goes on alone
    w.ops = nullptr;
    in->scanning = false;
    in->claimed = job.seq;
    hand_back(in, in->last_member, true);
    return;
  }
  const size_t at = job.seq;
  const size_t slot = at % in->ring;
  const size_t reserved =
      budget_plan_piece(g.budget, in->data[slot], in->cap[slot], kPieceBytes);
  lock.unlock();
  if (reserved != 0) {
    in->data[slot] = block_take(g.region, reserved);
    in->cap[slot] = in->data[slot] != nullptr ? reserved : 0;
  }
  const scan_step st = scan_on(in);
  const bool taken = st.kind == scan_kind::piece &&
                     w.ops->take(w.state, in->window.get() + (st.p.from / 8 - in->window_at), st.p);
  lock.lock();
  in->scanning = false;
  if (reserved != 0 && in->cap[slot] == 0) budget_unplan(g.budget, reserved);  // never had
  if (at >= in->claimed) return;  // an earlier piece failed: the loop goes on from there
  if (!taken) {
    in->claimed = at;
    if (st.kind == scan_kind::piece)
      hand_back(in, st.p.member, true);
    else
      hand_back(in, st.offset, st.in_member);
    return;
  }
  in->last_member = st.p.member;
  ++in->decoding;
  if (++g.pieces_now > g.pieces_peak) g.pieces_peak = g.pieces_now;
  const size_t old_cap = in->cap[slot];
  lock.unlock();
  g.work.notify_one();  // the scanner is free for the next piece
  if (g.piece_begun != nullptr) g.piece_begun(g.piece_arg);
  grow_arg arg{&g, &in->data[slot]};
  piece_out out{in->data[slot].get(), in->cap[slot], 0, grow_piece, &arg};
  const bool ok = w.ops->decode(w.state, out);
  lock.lock();
  --g.pieces_now;
  --in->decoding;
  in->cap[slot] = out.cap;
  budget_grew(g.budget, out.cap - old_cap);
  if (at >= in->claimed) return;
  if (!ok) {  // damage, or a false boundary: the member loop tells which
    for (size_t k = at; k < in->claimed; ++k) in->piece_done[k % in->ring] = false;
    in->claimed = at;
    hand_back(in, st.p.member, true);
    return;
  }
  in->len[slot] = out.len;
  in->raw_at[slot] = (st.p.to + 7) / 8;
  in->piece_member[slot] = st.p.member;
  in->piece_done[slot] = true;
  count_pieces(in);
}

void resume_member_loop(ahead_input* in) {
  in->resume = false;
  in->pieces->free_scanner(in->scanner);
  in->scanner = nullptr;
  in->pieces = nullptr;
  in->window.reset();
  const uint64_t skip =
      in->resume_in_member && in->member == in->resume_at ? in->member_out : 0;
  if (!decoder_resume_at(*in->dec, in->resume_at, in->resume_in_member, skip)) {
    in->dec.reset();
    in->done = true;
    in->result = -1;
  }
}

void piece_worker_drop(ahead_pool& g, piece_worker& w) {
  if (w.state == nullptr) return;
  w.ops->free(w.state);
  w.state = nullptr;
  w.ops = nullptr;
  --g.states;
}
