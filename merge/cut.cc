// Where the merge's output can be cut: each lane's bound, and the cuts
// themselves, split into ranges of about equal size.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "merge/lanes.h"

namespace {

uint64_t bound_of(const ranges_merge& g, size_t i) {
  const lane& l = g.lanes[i];
  switch (l.state) {
    case lane_state::reading:
    case lane_state::failed:
      return tree_value(l.top, i);
    case lane_state::dry:
      return l.unsettled != nullptr ? tree_value(l.top, i) : kNone;
    case lane_state::done:
      break;
  }
  return kNone;
}

}  // namespace

bool first_line_checked(ranges_merge& g, size_t i) {
  lane& l = g.lanes[i];
  if (l.given > 0 || !input_unconfirmed(*l.in) || input_confirm(*l.in)) return true;
  l.given = l.lines;
  l.state = lane_state::failed;
  g.last_cut = kNone - 1;  // a cut at its bound, made before, now places it
  place(g, i);
  return false;
}

void place(ranges_merge& g, size_t i) {
  lane& l = g.lanes[i];
  if (l.state == lane_state::dry && l.unsettled == nullptr && l.given == l.lines) {
    l.state = lane_state::done;
    --g.lanes_left;
  }
  min_tree_set(g.reads, i, l.state == lane_state::reading ? tree_value(l.low, i) : kNone);
  min_tree_set(g.bounds, i, bound_of(g, i));
}

const chunk* chunk_of(const lane& l, uint64_t m) {
  const chunk* c = l.head;
  while (m >= c->first + c->n) c = c->next;
  return c;
}

namespace {

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

}  // namespace

void free_job(range_job* job) {
  delete[] job->spans;
  std::free(job->out);
  delete job;
}

namespace {

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

}  // namespace

// Gives every settled line up to `bound` (a tree value, inclusive) to
// range jobs, and places the failure of the lane that bound is of, if it
// failed. False when memory ran out.
bool cut(ranges_merge& g, uint64_t bound) {
  // Of the lanes still reading only the one the bound is of can have its
  // first line go out now.
  if (bound != kNone && g.lanes[tree_input(bound)].state == lane_state::reading)
    first_line_checked(g, tree_input(bound));
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
    if (f.state == lane_state::failed && f.unsettled == nullptr) {
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
  return true;
}

