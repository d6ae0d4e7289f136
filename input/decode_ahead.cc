#include "input/decode_ahead.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

// One compressed input decoding ahead. Its blocks form a ring: workers fill
// ring[filled % kAheadBlocks], the merge thread reads ring[released %
// kAheadBlocks]. Fields under the pool's lock unless said otherwise.
struct ahead_input {
  ahead_pool* pool = nullptr;
  decoder_ptr dec;  // used by one worker at a time (busy)
  block_ptr data[kAheadBlocks];
  size_t cap[kAheadBlocks] = {};  // size of each block's buffer
  size_t len[kAheadBlocks] = {};
  uint64_t raw_at[kAheadBlocks] = {};  // compressed bytes read when it was filled
  size_t filled = 0;    // blocks filled so far
  size_t released = 0;  // blocks the merge thread has finished with
  bool busy = false;    // a worker is filling the next block
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
};

namespace {

unsigned usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return 1;
}

bool first_block(const ahead_input* in) { return in->filled == 0; }

// The input a worker should fill next, of those with a free block: the
// one with the fewest blocks ready, since the merge will want it first;
// an input started early comes after those being merged with as few.
ahead_input* pick_work(ahead_pool& g) {
  ahead_input* best = nullptr;
  size_t best_rank = 2 * kAheadBlocks, best_at = 0;
  const size_t count = g.budget.inputs;
  for (size_t k = 0; k < count; ++k) {
    const size_t at = (g.next + k) % count;
    ahead_input* in = g.inputs[at];
    if (in->busy || in->done || in->closing) continue;
    const size_t ready = in->filled - in->released;
    if (ready == kAheadBlocks || (in->turn == ahead_turn::first_line && ready > 0)) continue;
    const size_t rank = 2 * ready + (in->turn == ahead_turn::early ? 1 : 0);
    if (rank >= best_rank) continue;
    if (in->turn == ahead_turn::early && g.block == 0 &&
        !budget_room_for_early(g.budget, in->cap[in->filled % kAheadBlocks], first_block(in)))
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
  if (g.block != 0) return g.block;
  return budget_plan_block(g.budget, in->data[slot], in->cap[slot], first_block(in),
                           in->turn == ahead_turn::first_line);
}

// Decodes the next block of `in`, `size` bytes, outside the lock.
void fill(ahead_pool& g, ahead_input* in, size_t slot, size_t size) {
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
  if (buf == nullptr && g.block == 0) g.budget.allocated -= size;  // never had
  in->len[slot] = got;
  in->raw_at[slot] = raw_at;
  if (got > 0) ++in->filled;
  if (r <= 0) {
    in->done = true;
    in->result = r < 0 ? -1 : 0;
    g.epoch.fetch_add(1, std::memory_order_relaxed);
  }
  in->busy = false;
}

void* worker(void* arg) {
  ahead_pool& g = *static_cast<ahead_pool*>(arg);
  std::unique_lock<std::mutex> lock(g.m);
  for (;;) {
    ahead_input* in = nullptr;
    while (!g.stop && (in = pick_work(g)) == nullptr) g.work.wait(lock);
    if (g.stop) return nullptr;
    in->busy = true;
    const size_t slot = in->filled % kAheadBlocks;
    const size_t size = plan_block(g, in, slot);
    lock.unlock();
    fill(g, in, slot, size);
    g.ready.notify_all();
    lock.lock();
  }
}

// Starts the threads on first use. False when not even one would start.
bool start_threads(ahead_pool& g) {
  while (g.started < g.nthreads) {
    if (pthread_create(&g.threads[g.started], nullptr, worker, &g) != 0) break;
    ++g.started;
  }
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
  g.block = plan.block;
  g.fill_ring_first = plan.fill_ring_first;
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
  g.capacity = g.block = g.next = 0;
  g.nthreads = g.started = 0;
  g.fill_ring_first = g.stop = g.on = false;
}

ahead_ptr ahead_open(ahead_pool& g, decoder_ptr& dec, ahead_turn turn) {
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
  if (turn == ahead_turn::early) ++g.budget.early;
  g.inputs[g.budget.inputs++] = in.get();
  g.work.notify_one();
  return in;
}

unsigned ahead_threads(const ahead_pool& g) { return g.on ? g.nthreads : 0; }

uint64_t ahead_epoch(const ahead_pool& g) { return g.epoch.load(std::memory_order_relaxed); }

bool ahead_room_for_early(ahead_pool& g) {
  if (!g.on) return false;
  std::lock_guard<std::mutex> lock(g.m);
  if (g.budget.inputs == g.capacity) return false;
  size_t decoding = 0;  // early inputs whose decoders are still alive
  for (size_t k = 0; k < g.budget.inputs; ++k)
    if (g.inputs[k]->turn == ahead_turn::early && !g.inputs[k]->done) ++decoding;
  return decoding < std::max(g.nthreads, 1u) &&
         (g.block != 0 || budget_room_for_early(g.budget, 0, true));
}

ssize_t ahead_read(ahead_input& in, char* out, size_t n) {
  ahead_pool& g = *in.pool;
  const uint64_t epoch = g.epoch.load(std::memory_order_relaxed);
  if (g.room != nullptr && epoch != g.told) {  // a decoder ended, or an input closed
    g.told = epoch;
    g.room(g.room_arg);
  }
  if (in.holding && in.pos == in.len[in.released % kAheadBlocks]) {
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
    while (!in.done && (in.filled == in.released ||
                        (whole_ring && in.filled - in.released < kAheadBlocks)))
      g.ready.wait(lock);
    if (in.filled == in.released) return in.result;  // every block read: the end
    in.holding = true;
    in.pos = 0;
    in.position = in.raw_at[in.released % kAheadBlocks];
  }
  const size_t slot = in.released % kAheadBlocks;
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
    while (in->busy) g.ready.wait(lock);
    if (g.block == 0)
      for (size_t k = 0; k < kAheadBlocks; ++k) budget_give_back(g.budget, in->data[k], in->cap[k]);
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
