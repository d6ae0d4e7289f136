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
#include <memory>
#include <mutex>
#include <new>

#include "merge/lanes.h"
#include "merge/steps.h"

namespace {

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

// Waits until some job has finished since the last call.
void wait_for_a_job(ranges_merge& g) {
  post_batch(g);
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



// Cuts at `bound` and posts the range jobs of the cut.
bool cut_and_post(ranges_merge& g, uint64_t bound) {
  range_job* before = g.last_job;
  if (!cut(g, bound)) return false;
  for (range_job* job = before != nullptr ? before->next : g.first_job; job != nullptr;
       job = job->next)
    if (job->nspans > 0) post(g, range_task, job);
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
    if (!cut_and_post(g, bound)) {
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
  if (!first_line_checked(g, i)) return true;
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

merge_result merge_lanes(ranges_merge& g) {
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
        g.lanes[tree_input(next)].unsettled == nullptr) {
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
    // Or when there is nothing else to do.
    const uint64_t fresh = g.ready_bytes - g.ready_at_cut;
    const bool can_read = next != kNone && (!over || g.in_flight == 0);
    if (moved &&
        (fresh >= g.ranges * kCutBytes || (over && fresh >= kCutBytes) || next == kNone ||
         (bound != kNone && g.lanes[tree_input(bound)].state == lane_state::failed &&
          g.lanes[tree_input(bound)].unsettled == nullptr) ||
         (!can_read && g.in_flight == 0))) {
      if (!cut_and_post(g, bound)) {
        g.status = merge_status::no_memory;
        break;
      }
      continue;
    }
    if (can_read) {
      if (!read_lane(g, tree_input(next))) break;
      continue;
    }
    if (g.in_flight > 0) {
      wait_for_a_job(g);
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
    char* copy = static_cast<char*>(std::malloc(std::max<size_t>(line.size(), 1)));
    if (copy != nullptr) std::memcpy(copy, line.data(), line.size());
    // Settled at once: a lane whose first line fails its check passes over
    // it by its count.
    if (copy == nullptr || !add_chunk(g, i, copy, copy, line.size(), true)) {
      ok = false;
      break;
    }
    first[i] = tree_value(l.top, i);
  }
  std::unique_ptr<log_input*[]> turns;
  if (ok) {
    turns = expect_turns(in, n, first.get());
    r = merge_lanes(g);
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
  if (plan.ranges_peak != nullptr) *plan.ranges_peak = g.ranges_peak;
  return end_merge(in, n, r, g.some_failed, out);
}
