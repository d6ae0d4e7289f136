// The turn scheduler: starting compressed inputs that wait their turn
// decoding ahead of it, as the pool has room, and making room when memory
// runs out. Called by log_input.cc (the stage's door) on the merge thread;
// it calls down into the line reader and the pool, never up. Internal to
// input/.
#pragma once

#include <cstddef>

#include "input/decode_plan.h"
#include "input/sys_read.h"

struct input_set;
struct log_input;

// What inputs_begin, inputs_end, inputs_at_once, inputs_free_spare and
// inputs_expect_turns do (log_input.h): the door calls these.
input_set* turns_begin(size_t n, const decode_plan& plan, const read_seam& reads);
void turns_end(input_set* set);
size_t turns_at_once(const input_set* set);
void turns_free_spare(input_set* set);
void turns_expect(input_set* set, log_input* const* order, size_t n);

// Starts the next compressed waiting inputs decoding ahead of their turn,
// as far as the pool has room: after an input ended or caught up, and
// before a read. Cheap when nothing has changed: it stops at the first
// waiting input while the pool's epoch is the one at which it last found
// no room.
void turns_start_early(input_set& set);

// Memory ran out reading `in`: the inputs started ahead of their turn go
// back to waiting, the others give way (input_give_way), the kept decoder
// states and the pool's unused address space are freed, no more start
// early, and each input from now on decodes in the merge thread, on one
// thread, as on one core. Whether another input or a kept state gave
// anything back (when none did, reading `in` again would fail again).
bool turns_make_room(input_set& set, const log_input& in);
