// The decoding pool's records: the pool of a set of inputs, each input
// decoding ahead on it, and the jobs its workers do. What the pool's two
// halves share: decode_ahead.cc (the pool, and the member loop's blocks)
// and ahead_pieces.cc (the pieces). Internal to input/.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "input/block_region.h"
#include "input/budget.h"
#include "input/decoder.h"
#include "input/handles.h"
#include "input/pieces.h"

struct ahead_input;

// Work that the stage above hands to the pool (the merge's jobs): a call,
// run once on any worker, ahead of decoding work.
struct pool_task {
  void (*run)(void* arg) = nullptr;
  void* arg = nullptr;
};
// Tasks waiting for a worker, at most: more are run by whoever posts them.
inline constexpr size_t kTaskSlots = 256;

// An input whose format comes in pieces (bzip2 blocks) has a ring of up to
// this many blocks, a piece each: enough for every thread of a large
// machine to decode one, and the merge to read one.
inline constexpr size_t kRingSlots = 16;
// A piece's first buffer (a bzip2 -9 block is 900 kB of text); it grows as
// a piece needs. Also what the budget counts a piece as.
inline constexpr size_t kPieceBytes = size_t{1} << 20;
// Files in pieces are larger than this, unless the plan says otherwise: a
// farm's small files (one zstd frame, a bzip2 block or two) decode many
// at once already, and a first piece is a whole frame where the member
// loop's first block is small.
inline constexpr size_t kPiecesFrom = size_t{1} << 20;
// The scanner reads the file this much at a time.
inline constexpr size_t kScanRead = size_t{256} << 10;

// The pool of one set of inputs. Its threads are pthreads rather than
// std::thread: a thread that cannot be started must be a status (decode in
// the merge thread instead), and std::thread says so only by throwing.
// Fields under `m` unless said otherwise.
struct ahead_pool {
  std::mutex m;
  std::condition_variable work;   // workers wait here for a block to fill
  std::condition_variable ready;  // the merge thread waits here for a block
  std::unique_ptr<ahead_input*[]> inputs;
  size_t capacity = 0;
  std::unique_ptr<pthread_t[]> threads;
  unsigned nthreads = 0, started = 0;
  size_t pieces_from = kPiecesFrom;
  ahead_budget budget;
  block_region region;  // where the blocks live
  bool on = false;      // set up
  size_t next = 0;      // where the next search for work starts
  bool fill_ring_first = false;
  bool stop = false;
  // Counts the changes that can make room for an input started early, so
  // that the merge thread asks again only after one.
  std::atomic<uint64_t> epoch{0};
  // Pieces being decoded now, and the most at once; told as each begins
  // (decode_plan.h).
  size_t pieces_now = 0, pieces_peak = 0;
  // Memory ran out: one worker at a time decodes, with the least lead, as
  // one thread would; the others keep nothing.
  bool narrow = false;
  unsigned working = 0;  // workers decoding now
  unsigned states = 0;   // workers' states for pieces, alive
  void (*piece_begun)(void* arg) = nullptr;
  void* piece_arg = nullptr;
  // Tasks posted and not yet taken, first in, first out.
  pool_task tasks[kTaskSlots];
  size_t task_head = 0, task_count = 0;
};

// One compressed input decoding ahead. Its blocks form a ring: workers fill
// ring[filled % ring], the merge thread reads ring[released % ring].
// Fields under the pool's lock unless said otherwise.
//
// A format whose members come in pieces (format.h) is decoded a piece a
// block: a worker takes the scanner, marks the next piece and takes its
// bytes, lets go of the scanner, and decodes the piece while others scan
// and decode the pieces after it; pieces are read in order. Once the
// scanner hands back to the member loop, or a piece does not decode, the
// decoder goes on from there, one block at a time, once every piece before
// that point is filled and no worker still decodes one.
struct ahead_input {
  ahead_pool* pool = nullptr;
  decoder_ptr dec;  // used by one worker at a time (filling, or scanning)
  size_t ring = kAheadBlocks;
  block_ptr data[kRingSlots];
  size_t cap[kRingSlots] = {};  // size of each block's buffer
  size_t len[kRingSlots] = {};
  uint64_t raw_at[kRingSlots] = {};  // compressed bytes read when it was filled
  size_t filled = 0;    // blocks filled so far, in order
  size_t released = 0;  // blocks the merge thread has finished with
  // Blocks given to workers (filled <= claimed): one at a time while the
  // member loop decodes (a worker fills block `filled`), several in
  // pieces. When a piece fails, the count goes back to it: a worker whose
  // piece is no longer below it drops what it made.
  size_t claimed = 0;
  bool done = false;    // the decoder has ended or failed (and is freed)
  bool closing = false;
  ahead_turn turn = ahead_turn::now;
  // How the decoder ended (0 or -1), given out after the last block; its
  // fault record says why.
  ssize_t result = 0;
  // The merge thread's own: the block it is reading (ring[released]), and
  // how far into the compressed file that block reaches.
  bool holding = false;
  size_t pos = 0;
  uint64_t position = 0;
  // In pieces: the format's, or null once the member loop goes on.
  const piece_ops* pieces = nullptr;
  void* scanner = nullptr;
  std::unique_ptr<unsigned char[]> window;  // the file's bytes the scanner keeps
  size_t window_cap = 0, window_len = 0;
  uint64_t window_at = 0;  // the offset of window[0]
  bool window_eof = false;
  bool scanning = false;  // a worker has the scanner and the descriptor
  size_t decoding = 0;    // pieces being decoded
  bool piece_done[kRingSlots] = {};  // decoded, not yet counted in filled
  uint64_t piece_member[kRingSlots] = {};
  uint64_t last_member = 0;  // the member of the last piece given out
  // The member of the pieces filled last, and their bytes.
  uint64_t member = 0, member_out = 0;
  // Where the member loop goes on, once the pieces before it are filled.
  bool resume = false, resume_in_member = false;
  uint64_t resume_at = 0;
};

// A job of the pool: block `seq` of input `in`, filled into its slot
// (seq % ring): the member loop's next stretch of the stream, or, in
// pieces, the next piece the scanner finds. Jobs are claimed in sequence,
// done on any worker, and the merge takes their blocks in sequence.
struct ahead_job {
  ahead_input* in = nullptr;
  size_t seq = 0;
  pool_task task;  // or, when in is null, a task of the stage above
};

// A worker filling the member loop's next block of `in`.
inline bool ahead_filling(const ahead_input* in) {
  return in->pieces == nullptr && in->claimed > in->filled;
}

// A worker's state for decoding pieces, kept from one piece to the next.
struct piece_worker {
  const piece_ops* ops = nullptr;
  void* state = nullptr;
  ~piece_worker() {
    if (state != nullptr) ops->free(state);
  }
};
