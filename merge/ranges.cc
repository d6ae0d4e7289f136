// The merge on the inputs' threads.
//
// Every line has a place in the output: (the running maximum of its own
// input's keys up to it, its input, its place in that input). The merge
// thread reads each input a piece at a time, always the one whose lines
// yet to be read can come first (as the line-by-line merge reads them),
// and hands the pieces to key jobs. Once keyed, an input's lines are
// settled: their running maxima joined to the one before. Every line
// whose place is at most the bound, the smallest (running maximum, input)
// of the inputs that may still add lines, can go out: no line to come can
// precede it. Those lines are cut into ranges of about equal size, each
// merged from every input into a buffer of its own by a range job, and
// the buffers written in order. An input that fails bounds the output at
// its last line; its message is told once that is out.
#include "merge/ranges.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "key/line_key.h"
#include "merge/loser_tree.h"
#include "merge/min_tree.h"
#include "merge/range_jobs.h"
#include "merge/steps.h"

namespace {

constexpr int64_t kLowest = std::numeric_limits<int64_t>::min();
// Pieces smaller than this are keyed on the merge thread: a live input's
// few lines are not worth a job.
constexpr size_t kKeyHereBytes = size_t{8} << 10;
// The inputs' pieces: larger ones cost the threads fewer hand-offs.
constexpr size_t kSmallestPiece = size_t{16} << 10;
constexpr size_t kLargestPiece = size_t{1} << 20;
// Lines settled, in bytes a thread, before a cut is made (sooner when a
// read would wait, at the end, or when memory is held): each cut costs
// the threads hand-offs.
constexpr size_t kCutBytes = size_t{1} << 20;
// A range's bytes, about, when a cut has more than a range a thread: a
// range goes out whole, so smaller ones go out sooner.
constexpr size_t kRangeBytes = size_t{256} << 10;
// Pieces gathered for one key job, in bytes.
constexpr size_t kBatchBytes = size_t{256} << 10;
// Bytes of pieces held, in all, before the merge cuts what it can rather
// than read on.
constexpr size_t kHeldBytes = size_t{16} << 20;
// The most ranges one cut is split into.
constexpr size_t kMostRanges = 64;
// Lines sampled a range to choose where to cut.
constexpr size_t kSamples = 16;
// A tree value that no lane has: after every line.
constexpr uint64_t kNone = ~uint64_t{0};

enum class lane_state {
  reading,  // lines may still come
  dry,      // read to its end
  failed,   // ended by a failure, told once its lines are out
  done,     // every line given to a job, its failure (if any) placed
};

// One input.
struct lane {
  log_input* in = nullptr;
  chunk* head = nullptr;       // the first chunk with lines not yet given
  chunk* tail = nullptr;
  chunk* unsettled = nullptr;  // the first chunk not yet settled
  size_t pending = 0;          // chunks not yet settled
  uint64_t lines = 0;          // lines settled
  uint64_t given = 0;          // lines given to jobs (or passed over)
  int64_t top = kLowest;       // running maximum at its last settled line
  int64_t low = kLowest;       // no line still to read can come before this
  key_memo memo;               // for `low`
  lane_state state = lane_state::reading;
};

struct ranges_merge {
  log_input* in = nullptr;
  size_t n = 0;
  output* out = nullptr;
  const merge_hooks* hooks = nullptr;
  const merge_plan* plan = nullptr;
  unsigned ranges = 2;
  input_set* set = nullptr;
  std::unique_ptr<lane[]> lanes;
  min_tree reads;   // (low, i) of the lanes still reading
  min_tree bounds;  // (top, i) of the lanes that bound what can go out
  size_t lanes_left = 0;   // lanes not done
  uint64_t last_cut = kNone - 1;  // the bound at the last cut
  uint64_t ready_bytes = 0;  // settled bytes not yet given to jobs
  uint64_t ready_at_cut = 0;  // and what was left of them after the last cut
  uint64_t held = 0;         // bytes of chunks not yet freed
  uint64_t seq = 0;          // jobs made
  uint64_t written = 0;      // jobs written
  size_t in_flight = 0;      // jobs posted and not yet seen done
  range_job* first_job = nullptr;  // the jobs not yet written, in order
  range_job* last_job = nullptr;
  chunk* retire_first = nullptr;  // chunks given whole, to free once written
  chunk* retire_last = nullptr;
  merge_status status = merge_status::done;
  bool some_failed = false;
  // Chunks gathered for the next key job.
  chunk* batch_first = nullptr;
  chunk* batch_last = nullptr;
  size_t batch_bytes = 0;
  // Under m: what the threads report.
  std::mutex m;
  std::condition_variable cv;
  chunk* keyed = nullptr;  // chunks keyed by jobs, not yet settled
  size_t finished = 0;     // jobs finished, not yet seen
  size_t ranges_now = 0, ranges_peak = 0;
};

uint64_t bound_of(const ranges_merge& g, size_t i) {
  const lane& l = g.lanes[i];
  switch (l.state) {
    case lane_state::reading:
    case lane_state::failed:
      return tree_value(l.top, i);
    case lane_state::dry:
      return l.pending > 0 ? tree_value(l.top, i) : kNone;
    case lane_state::done:
      break;
  }
  return kNone;
}

// The trees' leaves for lane i, after any change to it.
void place(ranges_merge& g, size_t i) {
  lane& l = g.lanes[i];
  if (l.state == lane_state::dry && l.pending == 0 && l.given == l.lines) {
    l.state = lane_state::done;
    --g.lanes_left;
  }
  min_tree_set(g.reads, i, l.state == lane_state::reading ? tree_value(l.low, i) : kNone);
  min_tree_set(g.bounds, i, bound_of(g, i));
}

// Told under the lock: once the merge thread has seen the last job
// finish it frees the record, condition variable and all.
void job_finished(ranges_merge& g) {
  std::lock_guard<std::mutex> lock(g.m);
  ++g.finished;
  g.cv.notify_one();
}

// Keys a batch of chunks (linked by batch_next).
void key_task(void* arg) {
  chunk* first = static_cast<chunk*>(arg);
  ranges_merge& g = *static_cast<ranges_merge*>(first->merge);
  for (chunk* c = first; c != nullptr; c = c->batch_next) key_chunk(*c);
  {
    std::lock_guard<std::mutex> lock(g.m);
    for (chunk* c = first; c != nullptr; c = c->batch_next) {
      c->keyed_next = g.keyed;
      g.keyed = c;
      c->keyed.store(true, std::memory_order_release);
    }
  }
  job_finished(g);
}

void range_task(void* arg) {
  range_job& job = *static_cast<range_job*>(arg);
  ranges_merge& g = *static_cast<ranges_merge*>(job.merge);
  {
    std::lock_guard<std::mutex> lock(g.m);
    g.ranges_peak = std::max(g.ranges_peak, ++g.ranges_now);
  }
  if (g.plan->range_begun != nullptr) g.plan->range_begun(g.plan->range_arg);
  merge_range(job);
  {
    std::lock_guard<std::mutex> lock(g.m);
    --g.ranges_now;
    job.done.store(true, std::memory_order_release);
  }
  job_finished(g);
}

// Runs fn(arg) on the set's threads, or here.
void post(ranges_merge& g, void (*fn)(void*), void* arg) {
  if (inputs_post(g.set, fn, arg)) {
    ++g.in_flight;
  } else {
    fn(arg);
    std::lock_guard<std::mutex> lock(g.m);
    --g.finished;  // seen already
  }
}

// Hands the chunks gathered for keying to a job.
void post_batch(ranges_merge& g) {
  if (g.batch_first == nullptr) return;
  chunk* first = g.batch_first;
  g.batch_first = g.batch_last = nullptr;
  g.batch_bytes = 0;
  post(g, key_task, first);
}

// Waits until some job has finished since the last call: the merge thread
// does jobs still waiting for a thread meanwhile, rather than sleep.
void wait_for_a_job(ranges_merge& g) {
  post_batch(g);
  while (inputs_help(g.set)) {
    std::lock_guard<std::mutex> lock(g.m);
    if (g.finished > 0) break;
  }
  std::unique_lock<std::mutex> lock(g.m);
  while (g.finished == 0) g.cv.wait(lock);
  g.in_flight -= g.finished;
  g.finished = 0;
}

// Settles lane i's keyed chunks in order: each one's running maximum
// raised to the one carried from before it.
void settle(ranges_merge& g, size_t i) {
  lane& l = g.lanes[i];
  chunk* c = l.unsettled;
  while (c != nullptr && c->keyed.load(std::memory_order_acquire)) {
    if (c->no_memory) {
      g.status = merge_status::no_memory;
      return;
    }
    for (size_t j = 0; j < c->n && c->top[j] < l.top; ++j) c->top[j] = l.top;
    c->first = l.lines;
    l.lines += c->n;
    l.top = c->top[c->n - 1];
    l.low = std::max(l.low, l.top);
    g.ready_bytes += c->len;
    --l.pending;
    c = c->next;
  }
  l.unsettled = c;
  place(g, i);
}

// Settles what the jobs have keyed since the last call.
void settle_keyed(ranges_merge& g) {
  chunk* c;
  {
    std::lock_guard<std::mutex> lock(g.m);
    c = g.keyed;
    g.keyed = nullptr;
  }
  for (; c != nullptr; c = c->keyed_next) settle(g, c->lane);
}

// Adds a piece of lane i's (owned by `owner`), and keys it here (small, or
// `here`) or on a job.
bool add_chunk(ranges_merge& g, size_t i, char* owner, const char* data, size_t len,
               bool here = false) {
  auto* c = new (std::nothrow) chunk;
  if (c == nullptr) {
    std::free(owner);
    g.status = merge_status::no_memory;
    return false;
  }
  c->owner = owner;
  c->data = data;
  c->len = len;
  c->merge = &g;
  c->lane = i;
  lane& l = g.lanes[i];
  (l.tail != nullptr ? l.tail->next : l.head) = c;
  l.tail = c;
  if (l.unsettled == nullptr) l.unsettled = c;
  ++l.pending;
  g.held += len;
  if (g.hooks->unwritten != nullptr) g.hooks->unwritten[i] += len;
  // Lines still to read come after the piece's last line.
  const void* nl = len > 1 ? memrchr(data, '\n', len - 1) : nullptr;
  const size_t last = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - data) + 1 : 0;
  l.low = std::max(l.low, line_key(std::string_view(data + last, len - last), l.memo));
  if (here || len < kKeyHereBytes) {
    key_chunk(*c);
    c->keyed.store(true, std::memory_order_relaxed);
    settle(g, i);
  } else {  // keyed on a job, with others
    (g.batch_last != nullptr ? g.batch_last->batch_next : g.batch_first) = c;
    g.batch_last = c;
    g.batch_bytes += len;
    if (g.batch_bytes >= kBatchBytes) post_batch(g);
    place(g, i);
  }
  return true;
}

// The running maximum of lane l's line m (settled, not yet given).
const chunk* chunk_of(const lane& l, uint64_t m) {
  const chunk* c = l.head;
  while (m >= c->first + c->n) c = c->next;
  return c;
}

// How many of lane i's settled lines, from line `from`, have a tree value
// below v (at most `to`).
uint64_t lines_below(const ranges_merge& g, size_t i, uint64_t from, uint64_t to, uint64_t v) {
  const lane& l = g.lanes[i];
  if (from >= to) return from;
  const chunk* c = chunk_of(l, from);
  for (;;) {
    const size_t a = from - c->first;
    const size_t z = std::min<uint64_t>(c->n, to - c->first);
    if (tree_value(c->top[z - 1], i) < v) {
      from = c->first + z;
      if (from == to) return to;
      c = c->next;
      continue;
    }
    const int64_t* at = std::partition_point(c->top + a, c->top + z, [&](int64_t t) {
      return tree_value(t, i) < v;
    });
    return c->first + static_cast<uint64_t>(at - c->top);
  }
}

// Bytes of `count` lines of lane l from line m, with room for a newline.
size_t span_bytes(const chunk* c, size_t at, uint64_t count) {
  size_t bytes = 1;
  while (count > 0) {
    const size_t z = count < c->n - at ? at + static_cast<size_t>(count) : c->n;
    bytes += c->ends[z - 1] - line_begin(*c, at);
    count -= z - at;
    c = c->next;
    at = 0;
  }
  return bytes;
}

void queue_job(ranges_merge& g, range_job* job) {
  job->seq = g.seq++;
  (g.last_job != nullptr ? g.last_job->next : g.first_job) = job;
  g.last_job = job;
}

void free_job(range_job* job) {
  delete[] job->spans;
  std::free(job->out);
  delete job;
}

// Where each range ends, as a place (tree value, line): about equal parts
// of the lines [from[i], to[i]), chosen from samples.
struct place_at {
  uint64_t value;
  uint64_t line;
  bool operator<(const place_at& o) const {
    return value != o.value ? value < o.value : line < o.line;
  }
};

size_t choose_cuts(const ranges_merge& g, const uint64_t* from, const uint64_t* to,
                   uint64_t total, size_t r, place_at* cuts) {
  const uint64_t stride = std::max<uint64_t>(1, total / (r * kSamples));
  std::unique_ptr<place_at[]> samples(new (std::nothrow) place_at[total / stride + g.n + 1]);
  if (samples == nullptr) return 0;
  size_t s = 0;
  for (size_t i = 0; i < g.n; ++i) {
    if (from[i] == to[i]) continue;
    const chunk* c = chunk_of(g.lanes[i], from[i]);
    for (uint64_t m = from[i] + stride - 1; m < to[i]; m += stride) {
      while (m >= c->first + c->n) c = c->next;
      samples[s++] = {tree_value(c->top[m - c->first], i), m};
    }
  }
  std::sort(samples.get(), samples.get() + s);
  size_t made = 0;
  for (size_t k = 1; k < r; ++k) {
    const place_at p = samples[k * s / r];
    if (made == 0 || cuts[made - 1] < p) cuts[made++] = p;
  }
  return made;
}

// Lines of lane i before place p.
uint64_t lines_before(const ranges_merge& g, size_t i, uint64_t from, uint64_t to, place_at p) {
  if (tree_input(p.value) == i) return std::clamp(p.line, from, to);
  return lines_below(g, i, from, to, p.value);
}

// Gives every settled line up to `bound` (a tree value, inclusive) to
// range jobs, and places the failure of the lane that bound is of, if it
// failed. False when memory ran out.
bool cut(ranges_merge& g, uint64_t bound) {
  // Of the lanes still reading only the one the bound is of can have its
  // first line go out now: when that line came before its block was
  // checked, it is checked first. If the check fails, the line never goes
  // out and the lane's message comes where it would have.
  if (bound != kNone) {
    lane& b = g.lanes[tree_input(bound)];
    if (b.state == lane_state::reading && b.given == 0 && input_unconfirmed(*b.in) &&
        !input_confirm(*b.in)) {
      b.given = b.lines;
      b.state = lane_state::failed;
      place(g, tree_input(bound));
    }
  }
  g.last_cut = bound;
  const size_t n = g.n;
  std::unique_ptr<uint64_t[]> from(new (std::nothrow) uint64_t[3 * n]);
  if (from == nullptr) return false;
  uint64_t* to = from.get() + n;
  uint64_t* at = to + n;
  uint64_t total = 0, total_bytes = 0;
  const uint64_t upto = bound == kNone ? kNone : bound + 1;
  for (size_t i = 0; i < n; ++i) {
    const lane& l = g.lanes[i];
    from[i] = to[i] = l.given;
    if (l.state != lane_state::done && l.given < l.lines) {
      to[i] = lines_below(g, i, l.given, l.lines, upto);
      if (to[i] > from[i]) {
        const chunk* c = chunk_of(l, from[i]);
        total_bytes += span_bytes(c, from[i] - c->first, to[i] - from[i]);
      }
    }
    total += to[i] - from[i];
  }
  // As many ranges as threads, more when there is much to go out (a range
  // goes out whole: small ones go out sooner).
  const size_t pieces = static_cast<size_t>(
      std::clamp<uint64_t>(total_bytes / kRangeBytes, g.ranges, kMostRanges));
  place_at cuts[kMostRanges];
  size_t ncuts = 0;
  if (pieces > 1 && total >= pieces * kSamples) {
    ncuts = choose_cuts(g, from.get(), to, total, pieces, cuts);
    if (ncuts == 0) return false;
  }
  const uint64_t first_seq = g.seq;
  for (size_t r = 0; r <= ncuts && total > 0; ++r) {
    size_t spans = 0;
    for (size_t i = 0; i < n; ++i) {
      at[i] = r < ncuts ? lines_before(g, i, from[i], to[i], cuts[r]) : to[i];
      if (at[i] > from[i]) ++spans;
    }
    if (spans == 0) continue;
    auto* job = new (std::nothrow) range_job;
    if (job == nullptr) return false;
    job->merge = &g;
    job->spans = new (std::nothrow) span[spans];
    size_t bytes = 0;
    if (job->spans != nullptr) {
      for (size_t i = 0; i < n; ++i) {
        if (at[i] == from[i]) continue;
        const chunk* c = chunk_of(g.lanes[i], from[i]);
        span& sp = job->spans[job->nspans++];
        sp = span{c, static_cast<size_t>(from[i] - c->first), at[i] - from[i], i, 0};
        sp.bytes = span_bytes(c, sp.at, sp.count) - 1;
        bytes += sp.bytes + 1;
        from[i] = at[i];
      }
      job->out = static_cast<char*>(std::malloc(bytes));
    }
    if (job->out == nullptr || (job->nspans > 1 && !tree_init(job->tree, job->nspans))) {
      free_job(job);
      return false;
    }
    queue_job(g, job);
    g.ready_bytes -= std::min<uint64_t>(g.ready_bytes, bytes - job->nspans);
  }
  g.ready_at_cut = g.ready_bytes;
  // The chunks given whole go when the last job that reads them is written;
  // the lanes' fronts move on.
  for (size_t i = 0; i < n; ++i) {
    lane& l = g.lanes[i];
    if (to[i] == l.given) continue;
    l.given = to[i];
    while (l.head != nullptr && l.head != l.unsettled) {
      chunk* c = l.head;
      c->last_job = g.seq;
      if (c->first + c->n > l.given) break;
      l.head = c->next;
      if (l.head == nullptr) l.tail = nullptr;
      (g.retire_last != nullptr ? g.retire_last->retire_next : g.retire_first) = c;
      g.retire_last = c;
    }
    place(g, i);
  }
  // The bound is a failed lane's last line: its message follows.
  if (bound != kNone) {
    lane& f = g.lanes[tree_input(bound)];
    if (f.state == lane_state::failed && f.pending == 0) {
      if (g.seq == first_seq) {  // nothing went out with it: a job of its own
        auto* job = new (std::nothrow) range_job;
        if (job == nullptr) return false;
        job->done.store(true, std::memory_order_relaxed);
        queue_job(g, job);
      }
      g.last_job->report = f.in;
      f.state = lane_state::done;
      --g.lanes_left;
      place(g, tree_input(bound));
    }
  }
  for (range_job* job = g.first_job; job != nullptr; job = job->next)
    if (job->seq >= first_seq && job->nspans > 0) post(g, range_task, job);
  return true;
}

// Writes the jobs that are done, in order, with the failures they carry,
// and frees what they read. False when the output fails.
bool write_done(ranges_merge& g) {
  while (g.first_job != nullptr && g.first_job->done.load(std::memory_order_acquire)) {
    range_job* job = g.first_job;
    // Counted as written as it goes out: progress told while it does (in
    // writes of the output's size) then runs at most a job ahead.
    if (g.hooks->unwritten != nullptr)
      for (size_t s = 0; s < job->nspans; ++s) g.hooks->unwritten[job->spans[s].lane] -= job->spans[s].bytes;
    if (job->len > 0 && !output_put_whole(*g.out, job->out, job->len)) return false;
    if (job->report != nullptr) {
      if (!report_failure(*static_cast<const log_input*>(job->report), *g.out, *g.hooks))
        return false;
      g.some_failed = true;
    }
    g.first_job = job->next;
    if (g.first_job == nullptr) g.last_job = nullptr;
    ++g.written;
    free_job(job);
    while (g.retire_first != nullptr && g.retire_first->last_job <= g.written) {
      chunk* c = g.retire_first;
      g.retire_first = c->retire_next;
      if (g.retire_first == nullptr) g.retire_last = nullptr;
      g.held -= c->len;
      free_chunk(c);
    }
  }
  return true;
}

// Waits for every job posted, settling and writing as they finish.
bool finish_jobs(ranges_merge& g) {
  bool ok = true;
  post_batch(g);
  for (;;) {
    settle_keyed(g);
    if (ok && !write_done(g)) ok = false;
    if (g.in_flight == 0) return ok && g.status == merge_status::done;
    wait_for_a_job(g);
  }
}

// Before a read that may wait: every line that can go out now goes out.
bool send_out_all(void* arg) {
  ranges_merge& g = *static_cast<ranges_merge*>(arg);
  if (!finish_jobs(g)) return false;
  uint64_t bound;
  do {  // a failed lane's lines and message go out, then what they held back
    bound = min_tree_min(g.bounds);
    if (!cut(g, bound)) {
      g.status = merge_status::no_memory;
      return false;
    }
    if (!finish_jobs(g)) return false;
  } while (min_tree_min(g.bounds) != bound);
  return output_flush(*g.out);
}

// The lane whose lines to come may come first is read: its next piece,
// or its end. Its first line, read before its block was checked, is
// checked first.
bool read_lane(ranges_merge& g, size_t i) {
  lane& l = g.lanes[i];
  log_input& in = *l.in;
  if (input_unconfirmed(in) && !input_confirm(in)) {
    // Its first line never goes out: the message comes where it would have.
    l.given = l.lines;
    l.state = lane_state::failed;
    g.last_cut = kNone - 1;  // a cut at this bound now places it
    place(g, i);
    return true;
  }
  std::string_view piece;
  char* owner = nullptr;
  bool write_failed = false;
  const input_status st = advance(in, *g.hooks, {send_out_all, &g}, &piece, &owner, &write_failed);
  if (write_failed) {
    if (g.status == merge_status::done) g.status = merge_status::write_failed;
    return false;
  }
  switch (st) {
    case input_status::ok:
      return add_chunk(g, i, owner, piece.data(), piece.size());
    case input_status::dry:
      l.state = lane_state::dry;
      break;
    case input_status::failed:
    case input_status::would_block:  // not with input_wait::allowed
      // Its bound stays where it was, now the place of its message: a cut
      // there (made before, while it was read) places it.
      l.state = lane_state::failed;
      g.last_cut = kNone - 1;
      break;
  }
  place(g, i);
  return true;
}

// One lane is left, still reading, and every other line has gone out: its
// bytes go out as they are, as the line-by-line merge drains it.
merge_result drain_last(ranges_merge& g, size_t i) {
  lane& l = g.lanes[i];
  merge_result r;
  if (input_unconfirmed(*l.in) && !input_confirm(*l.in)) {
    r.status = report_failure(*l.in, *g.out, *g.hooks) ? merge_status::inputs_failed
                                                      : merge_status::write_failed;
    return r;
  }
  char last = '\n';
  for (chunk* c = l.head; c != nullptr; c = c->next) {
    const size_t b = l.given > c->first ? line_begin(*c, l.given - c->first) : 0;
    if (b < c->len && !output_put(*g.out, c->data + b, c->len - b)) {
      r.status = merge_status::write_failed;
      return r;
    }
    if (c->len > 0) last = c->data[c->len - 1];
  }
  if (g.hooks->unwritten != nullptr) g.hooks->unwritten[i] = 0;
  return drain_rest(*l.in, *g.out, *g.hooks, last);
}

merge_result run(ranges_merge& g) {
  merge_result r;
  for (;;) {
    settle_keyed(g);
    if (g.status != merge_status::done) break;
    if (!write_done(g)) {
      g.status = merge_status::write_failed;
      break;
    }
    if (g.lanes_left == 0) {
      if (g.first_job == nullptr || g.in_flight == 0) break;
      wait_for_a_job(g);
      continue;
    }
    const uint64_t bound = min_tree_min(g.bounds);
    const uint64_t next = min_tree_min(g.reads);
    if (g.lanes_left == 1 && next != kNone && g.first_job == nullptr && g.in_flight == 0 &&
        g.lanes[tree_input(next)].pending == 0) {
      r = drain_last(g, tree_input(next));
      if (r.status == merge_status::write_failed) return r;
      if (r.status == merge_status::inputs_failed) g.some_failed = true;
      break;
    }
    const bool over = g.held >= kHeldBytes;
    // Lines settled since the last cut, or a bound that moved, may let
    // more go out.
    const bool moved = bound != g.last_cut || g.ready_bytes > g.ready_at_cut;
    // A cut looks at every input: one is made once enough has settled
    // since the last (not at every read, which with thousands of inputs
    // would cost a look at each of them a read), at the end, and where a
    // failed input's message is due.
    const uint64_t fresh = g.ready_bytes - g.ready_at_cut;
    if (moved &&
        (fresh >= g.ranges * kCutBytes || (over && fresh >= kCutBytes) || next == kNone ||
         (bound != kNone && g.lanes[tree_input(bound)].state == lane_state::failed &&
          g.lanes[tree_input(bound)].pending == 0))) {
      if (!cut(g, bound)) {
        g.status = merge_status::no_memory;
        break;
      }
      continue;
    }
    if (next != kNone && (!over || g.in_flight == 0)) {
      if (!read_lane(g, tree_input(next))) break;
      continue;
    }
    if (g.in_flight > 0) {
      wait_for_a_job(g);
      continue;
    }
    if (moved) {
      if (!cut(g, bound)) {
        g.status = merge_status::no_memory;
        break;
      }
      continue;
    }
    g.status = merge_status::no_memory;  // never: nothing to read, wait for or cut
    break;
  }
  if (g.status != merge_status::done) r.status = g.status;
  return r;
}

}  // namespace

merge_result merge_in_ranges(log_input* in, size_t n, output& out, const merge_hooks& hooks,
                             const merge_plan& plan, unsigned ranges) {
  ranges_merge g;
  g.in = in;
  g.n = n;
  g.out = &out;
  g.hooks = &hooks;
  g.plan = &plan;
  g.ranges = std::min<unsigned>(ranges, kMostRanges);
  g.set = input_set_of(in[0]);
  merge_result r;
  g.lanes.reset(new (std::nothrow) lane[n]);
  std::unique_ptr<uint64_t[]> first(new (std::nothrow) uint64_t[n]);
  if (g.lanes == nullptr || first == nullptr || !min_tree_init(g.reads, n, kNone) ||
      !min_tree_init(g.bounds, n, kNone)) {
    r.status = merge_status::no_memory;
    return r;
  }
  // Pieces as large as the bytes held allow: a few for each input.
  size_t active = 0;
  for (size_t i = 0; i < n; ++i) active += input_active(in[i]) ? 1 : 0;
  const size_t block = std::clamp<size_t>(kHeldBytes / (4 * std::max<size_t>(active, 1)),
                                          kSmallestPiece, kLargestPiece);
  // Each input's current line is its first chunk, a copy: a waiting input
  // frees its own when it is read again.
  bool ok = true;
  for (size_t i = 0; i < n; ++i) {
    lane& l = g.lanes[i];
    l.in = &in[i];
    first[i] = tree_exhausted(i);
    if (!input_active(in[i])) {
      l.state = lane_state::done;
      continue;
    }
    ++g.lanes_left;
    input_set_block(in[i], block);
    const std::string_view line = input_line(in[i]);
    first[i] = tree_value(line_key(line), i);
    char* copy = static_cast<char*>(std::malloc(std::max<size_t>(line.size(), 1)));
    if (copy != nullptr) std::memcpy(copy, line.data(), line.size());
    // Settled at once: a lane whose first line fails its check passes over
    // it by its count.
    if (copy == nullptr || !add_chunk(g, i, copy, copy, line.size(), true)) {
      ok = false;
      break;
    }
  }
  std::unique_ptr<log_input*[]> turns;
  if (ok) {
    turns = expect_turns(in, n, first.get());
    r = run(g);
  } else {
    r.status = merge_status::no_memory;
  }
  // Jobs still out read the chunks: they finish first.
  while (g.in_flight > 0) wait_for_a_job(g);
  while (g.first_job != nullptr) {
    range_job* job = g.first_job;
    g.first_job = job->next;
    free_job(job);
  }
  for (chunk* c = g.retire_first; c != nullptr;) {
    chunk* next = c->retire_next;
    free_chunk(c);
    c = next;
  }
  for (size_t i = 0; i < n; ++i) {
    for (chunk* c = g.lanes[i].head; c != nullptr;) {
      chunk* next = c->next;
      free_chunk(c);
      c = next;
    }
  }
  inputs_expect_turns(g.set, nullptr, 0);
  if (plan.ranges_peak != nullptr) *plan.ranges_peak = g.ranges_peak;
  if (r.status == merge_status::done && g.some_failed) r.status = merge_status::inputs_failed;
  if ((r.status == merge_status::done || r.status == merge_status::inputs_failed) &&
      !output_flush(out))
    r.status = merge_status::write_failed;
  return r;
}
