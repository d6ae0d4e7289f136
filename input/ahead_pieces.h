// The pool's pieces: a file whose format comes in pieces decoded a piece
// a job (decode_ahead.cc has the pool, and the member loop's blocks).
// Internal to input/.
#pragma once

#include <mutex>

#include "input/ahead_pool.h"

// Scans for the job's piece and decodes it on worker w. Called and
// returns with the lock held; the job's input is in pieces and holds the
// scanner.
void fill_piece(ahead_pool& g, const ahead_job& job, piece_worker& w,
                std::unique_lock<std::mutex>& lock);

// The member loop takes over from the pieces. Under the lock; every piece
// before the point is filled.
void resume_member_loop(ahead_input* in);

// Frees a worker's piece state, as the pool narrows.
void piece_worker_drop(ahead_pool& g, piece_worker& w);
