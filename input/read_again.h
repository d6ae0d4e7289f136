// Reading an input again from its start: the line reader's part that the
// turn scheduler (turns.cc) calls. Internal to input/.
#pragma once

struct log_input;

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

// Memory ran out: an input decoding on the pool in its turn gives back its
// blocks and decoder, and is decoded again from its start in the merge
// thread at its next read, its text up to what was read passed over.
void input_give_way(log_input& in);
