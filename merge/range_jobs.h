// The work of the merge that runs on the inputs' threads: keying a chunk
// of an input's lines, and merging one range of the key from every input
// into a buffer of its own. The records they share with the merge thread
// (ranges.cc), which makes them, hands them out and frees them. Internal
// to merge/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "merge/loser_tree.h"

// Whole lines of one input, in a buffer that stays valid until the chunk is
// freed: a piece of the input's buffer (input_take_piece), or a copy of its
// first line.
struct chunk {
  chunk* next = nullptr;  // the input's next chunk
  char* owner = nullptr;  // the buffer, freed with the chunk
  const char* data = nullptr;
  size_t len = 0;
  uint64_t first = 0;  // the input's number of the chunk's first line
  // Once keyed: its lines, each's end (one past its last byte), and the
  // running maximum of its input's keys up to it. A key job computes the
  // chunk's own running maximum; the merge thread then raises it to the
  // maximum carried from the chunks before (settling it).
  size_t n = 0;
  size_t* ends = nullptr;
  int64_t* top = nullptr;
  bool no_memory = false;  // its arrays could not be had
  std::atomic<bool> keyed{false};
  // The last job that reads it: it is freed once that job is written.
  uint64_t last_job = 0;
  chunk* retire_next = nullptr;  // in the queue of chunks to free
  chunk* keyed_next = nullptr;   // in the list of chunks keyed, to settle
  chunk* batch_next = nullptr;   // in the batch keyed by one job
  void* merge = nullptr;         // the merge it belongs to (for the task)
  size_t lane = 0;               // its input's index
};

// Finds the chunk's lines and their keys (its running maximum from the
// smallest key). Sets no_memory when its arrays cannot be had.
void key_chunk(chunk& c);
void free_chunk(chunk* c);

// The byte where line `at` of a keyed chunk begins, and where it ends.
inline size_t line_begin(const chunk& c, size_t at) { return at > 0 ? c.ends[at - 1] : 0; }

// The lines of one input that one range merges: `count` lines from line
// `at` of chunk `c`, on along the chunks that follow it. `input` orders
// ties: spans are kept in the inputs' order.
struct span {
  const chunk* c = nullptr;
  size_t at = 0;
  uint64_t count = 0;
  size_t lane = 0;      // its input's index
  uint64_t bytes = 0;   // the lines' bytes
};

// One range of the key: the spans of every input that has lines in it,
// merged by (running maximum, input, place) into `out` (room for every
// byte and a newline for each span's last line). Jobs are numbered in the
// order they go out.
struct range_job {
  range_job* next = nullptr;  // the next job to go out
  uint64_t seq = 0;
  span* spans = nullptr;
  size_t nspans = 0;
  loser_tree tree;  // made by the merge thread when nspans > 1
  char* out = nullptr;
  size_t len = 0;
  // After this job is written, this input's failure is told (its lines all
  // went out in this job or before).
  const void* report = nullptr;
  std::atomic<bool> done{false};
  void* merge = nullptr;
};

// Merges the job's spans into its buffer.
void merge_range(range_job& job);
