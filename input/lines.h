// The line reader: an input's buffer, cut into lines (log_input.cc hands
// them out), and read again from its start, in full or past what was
// read. It calls nothing above it: log_input.cc, the stage's door, and
// turns.cc, the turn scheduler, call it. Internal to input/.
#pragma once

#include <cstddef>

#include "input/decode_plan.h"
#include "input/input_record.h"

// The buffer, and the input counted in its set, once its source is open.
// Byte buffers are malloc'd, since a line buffer grows with realloc.
bool lines_ready(log_input& in, input_set* set, size_t block);

// What input_start, input_wait_turn and input_release do (log_input.h):
// the door calls these.
void lines_start(log_input& in);
void lines_wait_turn(log_input& in);
// Frees everything the input holds at once; the fault record stays.
void lines_release(log_input& in);

// Reads a waiting input again from its start (`early`: ahead of its turn,
// while its first line is still to be written): a compressed file starts
// decoding; its first line is passed over when its turn comes. False with
// the fault set.
bool input_resume(log_input& in, bool early);

// A read started ahead of the input's turn failed: its next read in its
// turn tells why.
void input_failed_ahead(log_input& in);

// Puts an input that was read again from its start (and has not yet
// passed its first line) back to waiting, giving back its buffer and
// decoder.
void input_wait_again(log_input& in);

// Memory ran out: a compressed file being read in its turn, on the pool or
// in the merge thread, gives back its blocks and decoder, and is decoded
// again from its start in the merge thread at its next read, its text up
// to what was read passed over. One whose text has all been read gives
// back its decoder only. A pipe keeps its decoder: it cannot be read again.
// Whether it gave anything back.
bool input_give_way(log_input& in);

// Reads an input that is behind again from its start and past its first
// line, which must be the line it held: a file changed while it waited
// ends with "file truncated", and nothing of it is spliced to that line.
// False with the fault set.
bool lines_pass_held_line(log_input& in);

// Decodes an input that gave way again from its start, here, passing over
// its text up to what was read. False with the fault set.
bool lines_read_alone(log_input& in);

// Hands the buffer over to the caller (who frees it) and reads on into a
// new one, the bytes after the last piece handed out copied into it.
// Returns the old buffer, or null, the input unchanged, when no new one
// can be had.
char* lines_hand_over(log_input& in);

// Makes room after the unfinished line [pos, end) and reads more bytes.
// Returns ok when bytes arrived, dry at end of input (draining), or
// failed with the fault set and the input still open, or would_block.
input_status lines_refill(log_input& in, input_wait wait);
