// Decoding ahead: compressed inputs that are regular files are decoded by a
// small pool of threads, whole large blocks at a time, into buffers that the
// merge thread then reads. Decoding in large blocks keeps each decoder's
// tables in the caches, and the pool puts every core to work; the bytes,
// the errors and the point at which an error is reported are exactly those
// of decoding in the merge thread. The memory is shared as budget.h says;
// the buffers come from block_region.h. Internal to input/.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "input/ahead_pool.h"
#include "input/decode_plan.h"
#include "input/decoder.h"
#include "input/handles.h"

// Prepares the pool for a merge of `inputs` inputs (threads start when the
// first compressed input is handed over). Does nothing when the plan says
// off. Returns false when out of memory.
bool decode_ahead_setup(ahead_pool& p, size_t inputs, const decode_plan& plan);

// Stops the pool's threads and waits for them, and frees its buffers.
// Every input decoding ahead must be closed first.
void decode_ahead_shutdown(ahead_pool& p);

// Hands `dec` (at the start of its data, of a file of `size` bytes) to the
// pool and takes it. Returns
// null and leaves `dec` with the caller when the pool is not set up or
// full: the caller then decodes in its own thread; or, with the decoder's
// fault set to ENOMEM, when memory runs out.
ahead_ptr ahead_open(ahead_pool& p, decoder_ptr& dec, ahead_turn turn, uint64_t size);

// Memory ran out: from then on the pool decodes on one thread at a time,
// as on one core. Waits until no worker decodes or keeps a state, then
// gives back what the pool reserved and does not use. Every input's
// decoding should have been closed first, so that none is left to do.
void ahead_give_way(ahead_pool& p);

// The pool's decoding threads (0 when off): how many inputs start-up can
// decode at once.
unsigned ahead_threads(const ahead_pool& p);

// Runs `task` on one of the pool's threads, ahead of any decoding not yet
// begun. False when the pool is off, has no thread, or has as many tasks
// waiting as it keeps: the caller then runs it itself.
bool ahead_post(ahead_pool& p, const pool_task& task);

// Whether the pool would decode one more input early now: it has a place,
// spare budget, and fewer inputs started early still decoding than it has
// threads (so that the decoders alive are at most the inputs being merged
// plus that many). ahead_epoch() changes whenever the answer may have.
bool ahead_room_for_early(ahead_pool& p);
uint64_t ahead_epoch(const ahead_pool& p);

// Like decoder_read: up to n bytes, 0 at the end, -1 with the decoder's
// fault set. The decoding threads write that fault record; it is settled
// before this returns 0 or -1.
ssize_t ahead_read(ahead_input& in, char* out, size_t n);

// How far into the compressed file the block the merge reads reaches (the
// decoding threads read further ahead).
uint64_t ahead_position(const ahead_input& in);
