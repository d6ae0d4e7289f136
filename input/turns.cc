// The set of inputs and its turn scheduler: the order in which the merge
// expects to need the inputs that wait their turn, and starting the
// compressed ones decoding ahead of their turn as the pool has room. It
// runs on the merge thread only.
#include "input/turns.h"

#include <cerrno>
#include <mutex>
#include <new>

#include "input/input_set.h"
#include "input/lines.h"

void turns_start_early(input_set& set) {
  expected_turns& turns = set.turns;
  while (turns.next < turns.n && !turns.memory_short) {
    log_input& in = *turns.order[turns.next];
    if (in.phase != input_phase::waiting || !in.stream.compressed) {  // its turn came, or it ended
      ++turns.next;
      continue;
    }
    const uint64_t epoch = ahead_epoch(set.pool);
    if (epoch == turns.refused) return;
    if (!ahead_room_for_early(set.pool)) {
      turns.refused = epoch;
      return;
    }
    ++turns.next;
    if (input_resume(in, true)) continue;
    if (in.stream.fault.error == ENOMEM) {  // it is read in its turn instead
      input_wait_again(in);
      turns.memory_short = true;
    } else {
      input_failed_ahead(in);  // told in its turn
    }
  }
}

bool turns_make_room(input_set& set, const log_input& in) {
  expected_turns& turns = set.turns;
  bool freed = false;
  turns.memory_short = true;
  for (size_t k = 0; k < turns.next; ++k) {
    log_input& other = *turns.order[k];
    if (&other != &in &&
        (other.phase == input_phase::early || other.phase == input_phase::failed_ahead)) {
      input_wait_again(other);
      freed = true;
    }
  }
  // Those decoding in their turn, on the pool or in the merge thread, give
  // back their blocks and decoders, and go on in the merge thread.
  for (size_t k = 0; k < set.nall; ++k)
    if (set.all[k] != &in && input_give_way(*set.all[k])) freed = true;
  {
    std::lock_guard<std::mutex> lock(set.decoders.lock);
    set.decoders.keep = false;
  }
  if (decoders_forget(set.decoders)) freed = true;
  ahead_give_way(set.pool);
  // No decoder starts threads of its own from now on (format.h).
  set.decoders.threaded.fetch_add(1u << 16, std::memory_order_relaxed);
  return freed;
}

input_set* turns_begin(size_t n, const decode_plan& plan, const read_seam& reads) {
  auto* set = new (std::nothrow) input_set;
  if (set == nullptr) return nullptr;
  set->all.reset(new (std::nothrow) log_input*[n]);
  if (set->all == nullptr || !decode_ahead_setup(set->pool, n, plan)) {
    delete set;
    return nullptr;
  }
  set->capall = n;
  set->reads = reads;
  set->report_peak = plan.decoders_peak;
  set->report_pieces = plan.pieces_peak;
  return set;
}

void turns_end(input_set* set) {
  if (set == nullptr) return;
  if (set->report_pieces != nullptr) *set->report_pieces = set->pool.pieces_peak;
  decode_ahead_shutdown(set->pool);
  decoders_forget(set->decoders);
  if (set->report_peak != nullptr) *set->report_peak = decoders_peak(set->decoders);
  delete set;
}

size_t turns_at_once(const input_set* set) {
  const unsigned threads = set != nullptr ? ahead_threads(set->pool) : 0;
  return threads > 0 ? threads : 1;
}

void turns_free_spare(input_set* set) {
  if (set != nullptr) decoders_forget(set->decoders);
}

void turns_expect(input_set* set, log_input* const* order, size_t n) {
  if (set == nullptr) return;
  set->turns = expected_turns{};
  set->turns.order = order;
  set->turns.n = n;
  turns_start_early(*set);
}
