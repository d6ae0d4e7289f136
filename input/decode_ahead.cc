#include "input/decode_ahead.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "input/ahead_pieces.h"

namespace {

unsigned usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return 1;
}

bool first_block(const ahead_input* in) { return in->filled == 0; }

// Pieces decoded ahead of the merge for one input: the threads and a lead
// for the merge, within the input's share of the budget.
size_t piece_lead(const ahead_pool& g) {
  if (g.narrow) return 2;
  const size_t by_budget = budget_share(g.budget) * kAheadBlocks / kPieceBytes;
  return std::max<size_t>(2, std::min<size_t>({g.nthreads + size_t{2}, kRingSlots, by_budget}));
}

// How many blocks of `in` the merge may be given before it reads: its
// ring, or the pieces' lead (which the ring holds: both are the threads
// plus two at most).
size_t lead(const ahead_pool& g, const ahead_input* in) {
  return in->pieces != nullptr ? piece_lead(g) : kAheadBlocks;
}

// The next block of `in` a worker fills: the next piece to claim, or the
// next block the decoder fills.
size_t next_block(const ahead_input* in) { return in->claimed; }

// Blocks filled or being filled ahead of the merge.
size_t ahead_of_merge(const ahead_input* in) { return next_block(in) - in->released; }

// Whether a worker can do something for `in` now.
bool has_work(const ahead_pool& g, const ahead_input* in) {
  if (ahead_filling(in) || in->done || in->closing || in->scanning) return false;
  const size_t ready = ahead_of_merge(in);
  if (ready >= lead(g, in) || (in->turn == ahead_turn::first_line && ready > 0)) return false;
  // The member loop goes on once no piece before it is outstanding.
  if (in->resume) return in->decoding == 0 && in->filled == in->claimed;
  return true;
}

// The input a worker should fill next, of those with a free block: the
// one with the fewest blocks ready, since the merge will want it first;
// an input started early comes after those being merged with as few.
ahead_input* pick_work(ahead_pool& g) {
  ahead_input* best = nullptr;
  size_t best_rank = 2 * kRingSlots + 2, best_at = 0;
  const size_t count = g.budget.inputs;
  for (size_t k = 0; k < count; ++k) {
    const size_t at = (g.next + k) % count;
    ahead_input* in = g.inputs[at];
    if (!has_work(g, in)) continue;
    const size_t rank = 2 * ahead_of_merge(in) + (in->turn == ahead_turn::early ? 1 : 0);
    if (rank >= best_rank) continue;
    const size_t next = next_block(in);
    if (in->turn == ahead_turn::early &&
        !budget_room_for_early(g.budget, in->cap[next % in->ring], next == 0))
      continue;
    best = in;
    best_rank = rank;
    best_at = at;
  }
  if (best != nullptr) g.next = best_at + 1;
  return best;
}

// The size of the block to fill in `slot` of `in`, reserved from the
// budget (a new buffer is left to fill() to make). Under the lock.
size_t plan_block(ahead_pool& g, ahead_input* in, size_t slot) {
  return budget_plan_block(g.budget, in->data[slot], in->cap[slot], first_block(in),
                           in->turn == ahead_turn::first_line);
}

// Decodes the job's block of the member loop, `size` bytes, outside the
// lock.
void fill(ahead_pool& g, const ahead_job& job, size_t size) {
  ahead_input* in = job.in;
  const size_t slot = job.seq % in->ring;
  block_ptr& data = in->data[slot];
  size_t got = 0;
  ssize_t r = 1;
  if (in->cap[slot] < size) {  // a new buffer, of the planned size
    data = block_take(g.region, size);
    in->cap[slot] = data != nullptr ? size : 0;
  }
  char* buf = data.get();
  if (buf == nullptr) {
    r = -1;
    decoder_fail(*in->dec, ENOMEM);
  }
  while (r > 0 && got < size) {
    r = decoder_read(*in->dec, buf + got, size - got);
    if (r > 0) got += static_cast<size_t>(r);
  }
  const uint64_t raw_at =
      std::atomic_ref<uint64_t>(*in->dec->consumed).load(std::memory_order_relaxed);
  // A decoder that has ended is needed no more: its window or tables go
  // now, not when the merge has read its last block.
  if (r <= 0) in->dec.reset();
  std::lock_guard<std::mutex> lock(g.m);
  if (buf == nullptr) budget_unplan(g.budget, size);  // never had
  in->len[slot] = got;
  in->raw_at[slot] = raw_at;
  if (got > 0) ++in->filled;
  in->claimed = in->filled;
  if (r <= 0) {
    in->done = true;
    in->result = r < 0 ? -1 : 0;
    g.epoch.fetch_add(1, std::memory_order_relaxed);
  }
}

// The next job for a worker, claimed, or none (stopping). Under the lock;
// the worker counts as working once it has one. An input whose member loop
// goes on from where its pieces handed back resumes it first; one that
// could not (done) yields no job, but the merge is told.
ahead_job take_job(ahead_pool& g, piece_worker& pw, std::unique_lock<std::mutex>& lock) {
  for (;;) {
    ahead_input* in = nullptr;
    for (;;) {
      if (g.narrow && pw.state != nullptr) {  // keeps nothing while idle
        piece_worker_drop(g, pw);
        g.ready.notify_all();
      }
      if (g.stop || g.task_count > 0 ||
          (!(g.narrow && g.working > 0) && (in = pick_work(g)) != nullptr))
        break;
      g.work.wait(lock);
    }
    if (g.stop) return {};
    if (in == nullptr) {  // a task comes first: the merge waits on it
      ahead_job job;
      job.task = g.tasks[g.task_head];
      g.task_head = (g.task_head + 1) % kTaskSlots;
      --g.task_count;
      return job;
    }
    if (in->resume) resume_member_loop(in);
    if (!in->done) {
      ++g.working;
      if (in->pieces != nullptr) in->scanning = true;  // the scanner finds its range
      return {in, in->claimed++, {}};
    }
    g.epoch.fetch_add(1, std::memory_order_relaxed);  // it could not go on
    lock.unlock();
    g.ready.notify_all();
    lock.lock();
  }
}

// Does a job. Called and returns with the lock held.
void run_job(ahead_pool& g, const ahead_job& job, piece_worker& pw,
             std::unique_lock<std::mutex>& lock) {
  if (job.in->pieces != nullptr) {
    fill_piece(g, job, pw, lock);
    return;
  }
  const size_t size = plan_block(g, job.in, job.seq % job.in->ring);
  lock.unlock();
  fill(g, job, size);
  lock.lock();
}

void* worker(void* arg) {
  ahead_pool& g = *static_cast<ahead_pool*>(arg);
  piece_worker pw;
  std::unique_lock<std::mutex> lock(g.m);
  for (;;) {
    const ahead_job job = take_job(g, pw, lock);
    if (job.in == nullptr && job.task.run == nullptr) return nullptr;
    if (job.in == nullptr) {
      lock.unlock();
      job.task.run(job.task.arg);
      lock.lock();
      continue;
    }
    // A piece frees the scanner for the next one: another worker may go on.
    const bool piece = job.in->pieces != nullptr;
    run_job(g, job, pw, lock);
    --g.working;
    const bool narrow = g.narrow;
    lock.unlock();
    g.ready.notify_all();
    if (narrow) {
      g.work.notify_all();
    } else if (piece) {
      g.work.notify_one();
    }
    lock.lock();
  }
}

// Starts the threads on first use. False when not even one would start.
// The decoders keep their state on the heap: a small stack each, so that
// threads cost little of an address-space limit (8 MiB each by default).
bool start_threads(ahead_pool& g) {
  constexpr size_t kStack = size_t{512} << 10;
  pthread_attr_t attr;
  const bool sized = pthread_attr_init(&attr) == 0;
  if (sized) pthread_attr_setstacksize(&attr, kStack);
  while (g.started < g.nthreads) {
    if (pthread_create(&g.threads[g.started], sized ? &attr : nullptr, worker, &g) != 0) break;
    ++g.started;
  }
  if (sized) pthread_attr_destroy(&attr);
  return g.started > 0;
}

}  // namespace

bool decode_ahead_setup(ahead_pool& g, size_t inputs, const decode_plan& plan) {
  if (plan.off) return true;
  const size_t most = plan.block != 0 ? inputs : kAheadBudget / (kAheadBlocks * kAheadMinBlock);
  const size_t capacity = std::min(inputs, most);
  const unsigned n = plan.threads != 0 ? plan.threads : usable_cpus();
  g.inputs.reset(new (std::nothrow) ahead_input*[capacity]());
  g.threads.reset(new (std::nothrow) pthread_t[n]());
  if (g.inputs == nullptr || g.threads == nullptr) {
    decode_ahead_shutdown(g);
    return false;
  }
  g.capacity = capacity;
  g.nthreads = n;
  g.budget.fixed = plan.block;
  g.fill_ring_first = plan.fill_ring_first;
  g.piece_begun = plan.piece_begun;
  g.pieces_from = plan.pieces_from != 0 ? plan.pieces_from : kPiecesFrom;
  g.piece_arg = plan.piece_arg;
  // Under a tight limit on address space (ulimit -v), one thread decodes,
  // as on one core, so that what merges does not depend on the cores.
  struct rlimit rl;
  if (::getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
      rl.rlim_cur < kTightAddressSpace)
    g.nthreads = 1;
  g.on = true;
  return true;
}

void decode_ahead_shutdown(ahead_pool& g) {
  {
    std::lock_guard<std::mutex> lock(g.m);
    g.stop = true;
  }
  g.work.notify_all();
  for (unsigned i = 0; i < g.started; ++i) pthread_join(g.threads[i], nullptr);
  g.inputs.reset();
  g.threads.reset();
  for (spare_buffer& b : g.budget.spare) b = spare_buffer{};
  g.budget = ahead_budget{};
  region_release(g.region);
  g.capacity = g.next = 0;
  g.task_head = g.task_count = 0;
  g.nthreads = g.started = 0;
  g.fill_ring_first = g.stop = g.on = false;
  g.pieces_from = kPiecesFrom;
}

ahead_ptr ahead_open(ahead_pool& g, decoder_ptr& dec, ahead_turn turn, uint64_t size) {
  if (!g.on) return nullptr;
  std::lock_guard<std::mutex> lock(g.m);
  if (g.budget.inputs == g.capacity || !start_threads(g)) return nullptr;
  ahead_ptr in(new (std::nothrow) ahead_input);
  if (in == nullptr) {
    decoder_fail(*dec, ENOMEM);
    return nullptr;
  }
  in->pool = &g;
  in->dec = std::move(dec);
  in->turn = turn;
  // In pieces only when read in its turn (a first line needs a few KiB of
  // the member loop, not a whole piece), and large enough to gain.
  const piece_ops* pieces = turn != ahead_turn::first_line && size > g.pieces_from
                                ? in->dec->format->ops->pieces
                                : nullptr;
  if (pieces != nullptr && (in->scanner = pieces->make_scanner()) != nullptr) {
    in->pieces = pieces;
    in->ring = std::min<size_t>(kRingSlots, g.nthreads + size_t{2});
  }
  if (turn == ahead_turn::early) ++g.budget.early;
  g.inputs[g.budget.inputs++] = in.get();
  g.work.notify_one();
  return in;
}

unsigned ahead_threads(const ahead_pool& g) { return g.on ? g.nthreads : 0; }

bool ahead_post(ahead_pool& g, const pool_task& task) {
  if (!g.on) return false;
  {
    std::lock_guard<std::mutex> lock(g.m);
    if (g.task_count == kTaskSlots || !start_threads(g)) return false;
    g.tasks[(g.task_head + g.task_count) % kTaskSlots] = task;
    ++g.task_count;
  }
  g.work.notify_one();
  return true;
}

void ahead_give_way(ahead_pool& g) {
  {
    std::unique_lock<std::mutex> lock(g.m);
    g.narrow = true;
    g.work.notify_all();  // the idle workers let go of their pieces' states
    while (g.working > 0 || g.states > 0) g.ready.wait(lock);
  }
  region_give_back(g.region);
}

uint64_t ahead_epoch(const ahead_pool& g) { return g.epoch.load(std::memory_order_relaxed); }

bool ahead_room_for_early(ahead_pool& g) {
  if (!g.on) return false;
  std::lock_guard<std::mutex> lock(g.m);
  if (g.budget.inputs == g.capacity) return false;
  size_t decoding = 0;  // early inputs whose decoders are still alive
  for (size_t k = 0; k < g.budget.inputs; ++k)
    if (g.inputs[k]->turn == ahead_turn::early && !g.inputs[k]->done) ++decoding;
  return decoding < std::max(g.nthreads, 1u) &&
         budget_room_for_early(g.budget, 0, true);
}

ssize_t ahead_read(ahead_input& in, char* out, size_t n) {
  ahead_pool& g = *in.pool;
  if (in.holding && in.pos == in.len[in.released % in.ring]) {
    {
      std::lock_guard<std::mutex> lock(g.m);
      ++in.released;
      in.holding = false;
    }
    g.work.notify_one();  // a block is free again
  }
  if (!in.holding) {
    std::unique_lock<std::mutex> lock(g.m);
    if (in.turn == ahead_turn::early) {  // its turn has come: it shares the budget
      --g.budget.early;
      g.epoch.fetch_add(1, std::memory_order_relaxed);
    }
    if (in.turn != ahead_turn::now && (in.released > 0 || in.turn == ahead_turn::early)) {
      in.turn = ahead_turn::now;  // a first line longer than its block: read on as usual
      g.work.notify_one();
    }
    const bool whole_ring = g.fill_ring_first && in.turn == ahead_turn::now;
    for (;;) {
      while (!in.done && (in.filled == in.released ||
                          (whole_ring && in.filled - in.released < lead(g, &in))))
        g.ready.wait(lock);
      if (in.filled == in.released) return in.result;  // every block read: the end
      if (in.len[in.released % in.ring] > 0) break;
      ++in.released;  // a piece that holds no text (an empty member)
      g.work.notify_one();
    }
    in.holding = true;
    in.pos = 0;
    in.position = in.raw_at[in.released % in.ring];
  }
  const size_t slot = in.released % in.ring;
  const size_t take = std::min(n, in.len[slot] - in.pos);
  std::memcpy(out, in.data[slot].get() + in.pos, take);
  in.pos += take;
  return static_cast<ssize_t>(take);
}

uint64_t ahead_position(const ahead_input& in) { return in.position; }

void ahead_closer::operator()(ahead_input* in) const {
  ahead_pool& g = *in->pool;
  {
    std::unique_lock<std::mutex> lock(g.m);
    in->closing = true;
    while (ahead_filling(in) || in->scanning || in->decoding > 0) g.ready.wait(lock);
    if (in->scanner != nullptr) in->pieces->free_scanner(in->scanner);
    for (size_t k = 0; k < in->ring; ++k) budget_give_back(g.budget, in->data[k], in->cap[k]);
    if (in->turn == ahead_turn::early) --g.budget.early;
    g.epoch.fetch_add(1, std::memory_order_relaxed);
    ahead_input** end = g.inputs.get() + g.budget.inputs;
    ahead_input** at = std::find(g.inputs.get(), end, in);
    if (at != end) {
      *at = *(end - 1);
      --g.budget.inputs;
    }
  }
  delete in;
}
