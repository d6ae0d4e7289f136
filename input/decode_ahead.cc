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

#include "input/block_region.h"

// One compressed input decoding ahead. Its blocks form a ring: workers fill
// ring[filled % kAheadBlocks], the merge thread reads ring[released %
// kAheadBlocks]. Fields under the pool's lock unless said otherwise.
struct ahead_input {
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

// A block buffer of an input that has closed, kept for the next input:
// in a farm's merge inputs come and go all the time, and every fresh page
// costs a fault.
struct spare_buffer {
  block_ptr data;
  size_t cap = 0;
};
// As many as the budget can hold of the smallest blocks: spares count in it.
constexpr size_t kSpareBuffers = kAheadBudget / kAheadMinBlock;

// A first line's block at start-up: most first lines fit, and a file that
// then waits its turn has decoded little for nothing (bzip2 still decodes
// its whole first block, to check it before a line of it goes out).
constexpr size_t kFirstLineBlock = 4096;

// The threads are pthreads rather than std::thread: a thread that cannot
// be started must be a status (decode in the merge thread instead), and
// std::thread says so only by throwing.
struct pool {
  std::mutex m;
  std::condition_variable work;   // workers wait here for a block to fill
  std::condition_variable ready;  // the merge thread waits here for a block
  std::unique_ptr<ahead_input*[]> inputs;
  size_t count = 0, capacity = 0;
  std::unique_ptr<pthread_t[]> threads;
  unsigned nthreads = 0, started = 0;
  size_t block = 0;  // the plan's fixed block size, or 0: from the budget
  size_t allocated = 0;  // bytes of every block buffer, spares included
  spare_buffer spare[kSpareBuffers];
  size_t spares = 0;
  size_t early = 0;  // inputs started ahead of their turn
  bool on = false;   // set up
  size_t next = 0;   // where the next search for work starts
  bool fill_ring_first = false;
  bool stop = false;
  // Counts the changes that can make room for an input started early, so
  // that the merge thread asks again only after one.
  std::atomic<uint64_t> epoch{0};
};

pool g;

unsigned usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return 1;
}

// Each input's share of the budget: a block for each place in its ring,
// shared by the inputs being merged (those started early take only what
// is left over), rounded down to a power of two, so that as inputs come
// and go the buffers of those that have gone fit those that come.
size_t share() {
  const size_t live = std::max<size_t>(g.count - g.early, 1);
  const size_t even = std::min(kAheadMaxBlock, kAheadBudget / (kAheadBlocks * live));
  return std::max(kAheadMinBlock, std::bit_floor(even));
}

bool fits(size_t cap, size_t share) { return cap != 0 && cap <= share && 2 * cap >= share; }

// The size of the next block of `in` (null: of an input about to start).
// An input's first block is small: when the merge reads it now, it is
// waiting for that block; when it starts early, the budget left over then
// gives a lead to more of the files that come next.
size_t next_share(const ahead_input* in) {
  const size_t s = share();
  return in == nullptr || in->filled == 0 ? std::min(s, kAheadMinBlock) : s;
}

// Whether the budget has a block for an input started early, without
// taking from those being merged: as plan_block() would find it, in the
// input's own buffer, a spare that fits, or room once the spares that do
// not fit are freed.
bool room_for_early(const ahead_input* in, size_t slot) {
  const size_t s = next_share(in);
  if (in != nullptr && fits(in->cap[slot], s)) return true;
  size_t unfit = 0;
  for (size_t k = 0; k < g.spares; ++k) {
    if (fits(g.spare[k].cap, s)) return true;
    unfit += g.spare[k].cap;
  }
  return g.allocated - unfit + s <= kAheadBudget;
}

// The input a worker should fill next, of those with a free block: the
// one with the fewest blocks ready, since the merge will want it first;
// an input started early comes after those being merged with as few.
ahead_input* pick_work() {
  ahead_input* best = nullptr;
  size_t best_rank = 2 * kAheadBlocks, best_at = 0;
  for (size_t k = 0; k < g.count; ++k) {
    const size_t at = (g.next + k) % g.count;
    ahead_input* in = g.inputs[at];
    if (in->busy || in->done || in->closing) continue;
    const size_t ready = in->filled - in->released;
    if (ready == kAheadBlocks || (in->turn == ahead_turn::first_line && ready > 0)) continue;
    const size_t rank = 2 * ready + (in->turn == ahead_turn::early ? 1 : 0);
    if (rank >= best_rank) continue;
    if (in->turn == ahead_turn::early && g.block == 0 &&
        !room_for_early(in, in->filled % kAheadBlocks))
      continue;
    best = in;
    best_rank = rank;
    best_at = at;
  }
  if (best != nullptr) g.next = best_at + 1;
  return best;
}

// Keeps a closed input's buffer for the next, or frees it when enough are
// kept. Under the lock.
void give_back(block_ptr& data, size_t& cap) {
  if (cap == 0) return;
  if (g.spares < kSpareBuffers && cap >= kAheadMinBlock) {
    g.spare[g.spares].data = std::move(data);
    g.spare[g.spares].cap = cap;
    ++g.spares;
  } else {
    data.reset();
    g.allocated -= cap;
  }
  cap = 0;
}

// The size of the block to fill in `slot` of `in`, reserved from the
// budget: the budget shared evenly by the inputs being merged, less than
// that while the others still hold more than their share (they give it
// back as they refill), but never less than kAheadMinBlock. A buffer that
// is at most the share and at least half of it is kept as it is, and a
// spare one that fits is taken, so that inputs coming and going do not
// make every buffer anew. A new buffer is left to fill() to make. Under
// the lock.
size_t plan_block(ahead_input* in, size_t slot) {
  if (g.block != 0) return g.block;
  if (in->turn == ahead_turn::first_line && in->filled == 0) {  // a new small buffer
    g.allocated += kFirstLineBlock;
    return kFirstLineBlock;
  }
  const size_t s = next_share(in);
  if (fits(in->cap[slot], s)) return in->cap[slot];
  give_back(in->data[slot], in->cap[slot]);
  // A spare that fits. (A larger one is not taken: its size would count
  // against the budget while only the share of it is used.)
  for (size_t k = 0; k < g.spares; ++k) {
    if (!fits(g.spare[k].cap, s)) continue;
    in->data[slot] = std::move(g.spare[k].data);
    in->cap[slot] = g.spare[k].cap;
    g.spare[k] = std::move(g.spare[--g.spares]);
    return in->cap[slot];
  }
  while (g.allocated + s > kAheadBudget && g.spares > 0) {  // spares that do not fit
    spare_buffer& last = g.spare[--g.spares];
    g.allocated -= last.cap;
    last.data.reset();
  }
  const size_t others = g.allocated;
  const size_t left = kAheadBudget - std::min(others, kAheadBudget);
  const size_t size = others + s <= kAheadBudget ? s : std::max(kAheadMinBlock, std::bit_floor(left));
  g.allocated = others + size;
  return size;
}

// Decodes the next block of `in`, `size` bytes, outside the lock.
void fill(ahead_input* in, size_t slot, size_t size) {
  block_ptr& data = in->data[slot];
  size_t got = 0;
  ssize_t r = 1;
  if (in->cap[slot] < size) {  // a new buffer, of the planned size
    data = block_take(size);
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
  if (buf == nullptr && g.block == 0) g.allocated -= size;  // never had
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

void* worker(void*) {
  std::unique_lock<std::mutex> lock(g.m);
  for (;;) {
    ahead_input* in = nullptr;
    while (!g.stop && (in = pick_work()) == nullptr) g.work.wait(lock);
    if (g.stop) return nullptr;
    in->busy = true;
    const size_t slot = in->filled % kAheadBlocks;
    const size_t size = plan_block(in, slot);
    lock.unlock();
    fill(in, slot, size);
    g.ready.notify_all();
    lock.lock();
  }
}

// Starts the threads on first use. False when not even one would start.
bool start_threads() {
  while (g.started < g.nthreads) {
    if (pthread_create(&g.threads[g.started], nullptr, worker, nullptr) != 0) break;
    ++g.started;
  }
  return g.started > 0;
}

}  // namespace

bool decode_ahead_setup(size_t inputs, const decode_plan& plan) {
  if (plan.off) return true;
  const size_t most = plan.block != 0 ? inputs : kAheadBudget / (kAheadBlocks * kAheadMinBlock);
  const size_t capacity = std::min(inputs, most);
  const unsigned n = plan.threads != 0 ? plan.threads : usable_cpus();
  g.inputs.reset(new (std::nothrow) ahead_input*[capacity]());
  g.threads.reset(new (std::nothrow) pthread_t[n]());
  if (g.inputs == nullptr || g.threads == nullptr) {
    decode_ahead_shutdown();
    return false;
  }
  g.capacity = capacity;
  g.nthreads = n;
  g.block = plan.block;
  g.fill_ring_first = plan.fill_ring_first;
  g.on = true;
  return true;
}

void decode_ahead_shutdown() {
  {
    std::lock_guard<std::mutex> lock(g.m);
    g.stop = true;
  }
  g.work.notify_all();
  for (unsigned i = 0; i < g.started; ++i) pthread_join(g.threads[i], nullptr);
  g.inputs.reset();
  g.threads.reset();
  for (spare_buffer& b : g.spare) b = spare_buffer{};
  g.count = g.capacity = g.block = g.next = g.allocated = g.spares = g.early = 0;
  g.nthreads = g.started = 0;
  g.fill_ring_first = g.stop = g.on = false;
}

ahead_ptr ahead_open(decoder_ptr& dec, ahead_turn turn) {
  if (!g.on) return nullptr;
  std::lock_guard<std::mutex> lock(g.m);
  if (g.count == g.capacity || !start_threads()) return nullptr;
  ahead_ptr in(new (std::nothrow) ahead_input);
  if (in == nullptr) {
    decoder_fail(*dec, ENOMEM);
    return nullptr;
  }
  in->dec = std::move(dec);
  in->turn = turn;
  if (turn == ahead_turn::early) ++g.early;
  g.inputs[g.count++] = in.get();
  g.work.notify_one();
  return in;
}

unsigned ahead_threads() { return g.on ? g.nthreads : 0; }

uint64_t ahead_epoch() { return g.epoch.load(std::memory_order_relaxed); }

bool ahead_room_for_early() {
  if (!g.on) return false;
  std::lock_guard<std::mutex> lock(g.m);
  if (g.count == g.capacity) return false;
  size_t decoding = 0;  // early inputs whose decoders are still alive
  for (size_t k = 0; k < g.count; ++k)
    if (g.inputs[k]->turn == ahead_turn::early && !g.inputs[k]->done) ++decoding;
  return decoding < std::max(g.nthreads, 1u) && (g.block != 0 || room_for_early(nullptr, 0));
}

ssize_t ahead_read(ahead_input& in, char* out, size_t n) {
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
      --g.early;
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
  {
    std::unique_lock<std::mutex> lock(g.m);
    in->closing = true;
    while (in->busy) g.ready.wait(lock);
    if (g.block == 0)
      for (size_t k = 0; k < kAheadBlocks; ++k) give_back(in->data[k], in->cap[k]);
    if (in->turn == ahead_turn::early) --g.early;
    g.epoch.fetch_add(1, std::memory_order_relaxed);
    ahead_input** end = g.inputs.get() + g.count;
    ahead_input** at = std::find(g.inputs.get(), end, in);
    if (at != end) {
      *at = *(end - 1);
      --g.count;
    }
  }
  delete in;
}
