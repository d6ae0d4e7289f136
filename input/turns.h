// The turn scheduler: the order in which the merge expects to need the
// inputs that wait their turn, and starting the compressed ones decoding
// ahead of their turn, as the pool has room. It is told when an input
// ends or catches up (by the line reader) and when the pool may have room
// (by the pool, on the merge thread); it never runs on a decoding thread.
// Internal to input/.
#pragma once

#include <cstddef>
#include <cstdint>

struct log_input;
struct input_set;

struct expected_turns {
  log_input* const* order = nullptr;
  size_t n = 0, next = 0;  // the next one to start early
  uint64_t refused = ~uint64_t{0};  // the pool's epoch when it had no room
  // Memory ran out for an input read again: from then on each is read in
  // its turn alone, as one core would, so that what merges never depends
  // on how many inputs were started at once.
  bool memory_short = false;
};

// Starts the next compressed waiting inputs decoding ahead of their turn,
// as far as the pool has room. Cheap when nothing has changed.
void turns_start_early(input_set& set);

// Memory ran out reading `in` again: the inputs started ahead of their
// turn go back to waiting, the kept decoder states are freed, and no more
// start early.
void turns_make_room(input_set& set, const log_input& in);
