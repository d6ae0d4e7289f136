// The records of the merge in ranges (ranges.cc, which reads and
// writes, and cut.cc, which bounds and cuts): the lanes, one an input, and
// the merge's own. Internal to merge/.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>

#include "input/log_input.h"
#include "key/line_key.h"
#include "merge/merge.h"
#include "merge/min_tree.h"
#include "merge/range_jobs.h"
#include "output/output.h"

inline constexpr int64_t kLowest = std::numeric_limits<int64_t>::min();
// Pieces smaller than this are keyed on the merge thread: a live input's
// few lines are not worth a job.
inline constexpr size_t kKeyHereBytes = size_t{8} << 10;
// The inputs' pieces: larger ones cost the threads fewer hand-offs.
inline constexpr size_t kSmallestPiece = size_t{16} << 10;
inline constexpr size_t kLargestPiece = size_t{1} << 20;
// Lines settled, in bytes a thread, before a cut is made (sooner when a
// read would wait, at the end, or when memory is held): each cut costs
// the threads hand-offs.
inline constexpr size_t kCutBytes = size_t{1} << 20;
// A range's bytes, about, when a cut has more than a range a thread: a
// range goes out whole, so smaller ones go out sooner.
inline constexpr size_t kRangeBytes = size_t{256} << 10;
// Pieces gathered for one key job, in bytes.
inline constexpr size_t kBatchBytes = size_t{256} << 10;
// Bytes of pieces held, in all, before the merge cuts what it can rather
// than read on.
inline constexpr size_t kHeldBytes = size_t{16} << 20;
// The most ranges one cut is split into.
inline constexpr size_t kMostRanges = 64;
// Lines sampled a range to choose where to cut.
inline constexpr size_t kSamples = 16;
// A tree value that no lane has: after every line.
inline constexpr uint64_t kNone = ~uint64_t{0};

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
  chunk* unsettled = nullptr;  // the first chunk not yet settled (null: none)
  uint64_t lines = 0;          // lines settled
  uint64_t given = 0;          // lines given to jobs (or passed over)
  int64_t top = kLowest;       // running maximum at its last settled line
  int64_t low = kLowest;       // no line still to read can come before this
  key_memo memo;               // for `low`
  lane_state state = lane_state::reading;
};

struct ranges_merge {
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

// The trees' leaves for lane i, after any change to it (a lane read to its
// end with every line given is done).
void place(ranges_merge& g, size_t i);

// Gives every settled line up to `bound` (a tree value, inclusive) to
// range jobs, queued after g.last_job (the caller posts them), and places
// the failure of the lane that bound is of, if it failed. False when
// memory ran out.
bool cut(ranges_merge& g, uint64_t bound);

// Lane i's first line, read before its block was checked, is checked now
// (before it can go out). False when that fails: the line never goes out,
// and the lane's message comes where the line would have.
bool first_line_checked(ranges_merge& g, size_t i);

// The chunk of lane l that holds its settled line m (not yet given).
const chunk* chunk_of(const lane& l, uint64_t m);

// Frees a range job.
void free_job(range_job* job);
