#include "merge/range_jobs.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "key/line_key.h"

void key_chunk(chunk& c) {
  size_t cap = c.len / 128 + 8;
  c.ends = static_cast<size_t*>(std::malloc(cap * sizeof(size_t)));
  c.top = static_cast<int64_t*>(std::malloc(cap * sizeof(int64_t)));
  key_memo memo;
  int64_t top = std::numeric_limits<int64_t>::min();
  size_t n = 0;
  for (size_t pos = 0; pos < c.len;) {
    if (n == cap || c.ends == nullptr || c.top == nullptr) {
      cap *= 2;
      auto* ends = static_cast<size_t*>(std::realloc(c.ends, cap * sizeof(size_t)));
      if (ends != nullptr) c.ends = ends;
      auto* tops = static_cast<int64_t*>(std::realloc(c.top, cap * sizeof(int64_t)));
      if (tops != nullptr) c.top = tops;
      if (ends == nullptr || tops == nullptr) {
        c.no_memory = true;
        return;
      }
    }
    const void* nl = std::memchr(c.data + pos, '\n', c.len - pos);
    const size_t stop = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - c.data) + 1 : c.len;
    const int64_t key = line_key(std::string_view(c.data + pos, stop - pos), memo);
    if (key > top) top = key;
    c.ends[n] = stop;
    c.top[n] = top;
    ++n;
    pos = stop;
  }
  c.n = n;
}

void free_chunk(chunk* c) {
  std::free(c->owner);
  std::free(c->ends);
  std::free(c->top);
  delete c;
}

namespace {

// A span read from its front: its chunk, its next line, lines left.
using cursor = span;

inline void step(cursor& k) {
  --k.count;
  if (++k.at == k.c->n && k.count > 0) {
    k.c = k.c->next;
    k.at = 0;
  }
}

// Copies the cursor's line, with the newline it may lack (only the last
// line of an input can).
inline char* put_line(char* to, const cursor& k) {
  const size_t b = line_begin(*k.c, k.at), e = k.c->ends[k.at];
  std::memcpy(to, k.c->data + b, e - b);
  to += e - b;
  if (k.c->data[e - 1] != '\n') *to++ = '\n';
  return to;
}

}  // namespace

void merge_range(range_job& job) {
  char* to = job.out;
  if (job.nspans == 1) {  // one input: its lines as they are
    cursor k = job.spans[0];
    while (k.count > 0) {
      const size_t last = k.count < k.c->n - k.at ? k.at + k.count : k.c->n;
      const size_t b = line_begin(*k.c, k.at), e = k.c->ends[last - 1];
      std::memcpy(to, k.c->data + b, e - b);
      to += e - b;
      if (k.c->data[e - 1] != '\n') *to++ = '\n';
      k.count -= last - k.at;
      k.at = last;
      if (k.count > 0) {
        k.c = k.c->next;
        k.at = 0;
      }
    }
    job.len = static_cast<size_t>(to - job.out);
    return;
  }
  loser_tree& t = job.tree;
  cursor* at = job.spans;  // each span read from its front
  for (size_t s = 0; s < job.nspans; ++s) {
    t.leaf[s] = tree_value(at[s].c->top[at[s].at], s);
  }
  tree_build(t);
  for (;;) {
    uint64_t value = tree_winner(t);
    if (tree_is_exhausted(value)) break;
    const size_t w = tree_input(value);
    const uint64_t rival = tree_runner_up(t);
    cursor& k = at[w];
    // The winner's lines for as long as they come before the runner-up's.
    for (;;) {
      to = put_line(to, k);
      step(k);
      if (k.count == 0) {
        value = tree_exhausted(w);
        break;
      }
      value = tree_value(k.c->top[k.at], w);
      if (value > rival) break;
    }
    tree_replay(t, value);
  }
  job.len = static_cast<size_t>(to - job.out);
}
