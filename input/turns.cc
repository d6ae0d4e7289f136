#include "input/turns.h"

#include <cerrno>

#include "input/input_set.h"
#include "input/log_input.h"
#include "input/read_again.h"

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
      in.phase = input_phase::failed_ahead;  // told in its turn
    }
  }
}

void turns_make_room(input_set& set, const log_input& in) {
  expected_turns& turns = set.turns;
  turns.memory_short = true;
  for (size_t k = 0; k < turns.next; ++k) {
    log_input& other = *turns.order[k];
    if (&other != &in &&
        (other.phase == input_phase::early || other.phase == input_phase::failed_ahead))
      input_wait_again(other);
  }
  decoders_forget(set.decoders);
}

void inputs_expect_turns(input_set* set, log_input* const* order, size_t n) {
  if (set == nullptr) return;
  set->turns = expected_turns{};
  set->turns.order = order;
  set->turns.n = n;
  turns_start_early(*set);
}
