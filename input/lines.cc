// The line reader: an input's buffer, cut into lines, and read again
// from its start.
#include "input/lines.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "input/budget.h"
#include "input/input_set.h"

namespace {

constexpr unsigned bit(input_phase p) { return 1u << static_cast<unsigned>(p); }

// The phases each phase may move to (log_input.h draws the life they make).
[[maybe_unused]] constexpr unsigned kMayFollow[] = {
    /* ended */ bit(input_phase::reading) | bit(input_phase::ended),
    /* reading */ bit(input_phase::reading) | bit(input_phase::draining) |
        bit(input_phase::waiting) | bit(input_phase::failed_ahead) | bit(input_phase::ended),
    /* draining */ bit(input_phase::waiting) | bit(input_phase::ended),
    /* waiting */ bit(input_phase::early) | bit(input_phase::reading) | bit(input_phase::ended),
    /* early */ bit(input_phase::reading) | bit(input_phase::waiting) |
        bit(input_phase::failed_ahead) | bit(input_phase::ended),
    /* failed_ahead */ bit(input_phase::waiting) | bit(input_phase::ended),
};

// Every change of an input's phase is made here, and checked.
void move_to(log_input& in, input_phase to) {
  assert((kMayFollow[static_cast<unsigned>(in.phase)] & bit(to)) != 0);
  in.phase = to;
}

}  // namespace

bool lines_ready(log_input& in, input_set* set, size_t block) {
  block = std::max(block, kSniffBytes);  // the first read tells the format
  // A regular file smaller than a block gets a buffer of about its own
  // size. Every input keeps its buffer while the merge runs, and with
  // thousands of small logs the pages that full blocks would touch cost
  // more than the merge itself. The buffer still grows for a long line.
  if (in.stream.regular && in.stream.size < block)
    block = std::min(block, std::max(static_cast<size_t>(in.stream.size), kSmallestBlock));
  in.buf = static_cast<char*>(std::malloc(block));
  if (in.buf == nullptr) {
    source_close(in.stream);
    in.stream.fault.error = ENOMEM;
    return false;
  }
  in.cap = in.block = block;
  move_to(in, input_phase::reading);
  if (set != nullptr && set->nall < set->capall) set->all[set->nall++] = &in;
  return true;
}

namespace {

// A plain file that its buffer holds whole: it never waits its turn, and
// is read whole at once.
bool held_whole(const log_input& in) {
  return !in.stream.compressed && in.stream.size <= in.cap;
}

// A regular file's first read is small: its first line is all that
// start-up needs, and a compressed file that then waits its turn would
// have decoded a whole block for nothing.
size_t first_read(const log_input& in) {
  return !in.stream.regular || held_whole(in) ? in.cap : std::min(in.cap, kSmallestBlock);
}

// Frees the input's buffer (it keeps its descriptor).
void drop_buffer(log_input& in) {
  std::free(in.buf);
  in.buf = nullptr;
  in.cap = in.pos = in.scan = in.end = 0;
}

}  // namespace

void lines_start(log_input& in) {
  if (in.phase != input_phase::reading || in.stream.started || !in.stream.regular) return;
  const ssize_t got = source_begin(in.stream, in.buf, first_read(in), ahead_turn::first_line);
  if (got < 0) {
    move_to(in, input_phase::failed_ahead);
  } else {
    in.end = static_cast<size_t>(got);
    in.text = in.end;
  }
}

void input_failed_ahead(log_input& in) { move_to(in, input_phase::failed_ahead); }

void lines_wait_turn(log_input& in) {
  if ((in.phase != input_phase::reading && in.phase != input_phase::draining) ||
      !in.stream.regular || held_whole(in))
    return;
  const size_t n = in.line.size();
  char* copy = static_cast<char*>(std::malloc(std::max<size_t>(n, 1)));
  if (copy != nullptr) {
    std::memcpy(copy, in.line.data(), n);
  } else {  // its buffer becomes the copy
    std::memmove(in.buf, in.line.data(), n);
    copy = in.buf;
    in.buf = nullptr;
  }
  drop_buffer(in);
  in.first = copy;
  in.line = std::string_view(copy, n);
  move_to(in, input_phase::waiting);
  in.alone = false;  // read again from its start anyway
  source_pause(in.stream);
}

void lines_release(log_input& in) {
  move_to(in, input_phase::ended);
  in.line = {};
  source_close(in.stream);
  drop_buffer(in);
  std::free(in.first);
  in.first = nullptr;
}

bool input_resume(log_input& in, bool early) {
  move_to(in, early ? input_phase::early : input_phase::reading);
  in.alone = false;
  in.buf = static_cast<char*>(std::malloc(in.block));
  if (in.buf == nullptr) {
    in.stream.fault.error = ENOMEM;
    return false;
  }
  in.cap = in.block;
  in.pos = in.scan = in.end = 0;
  if (!source_rewind(in.stream)) return false;
  const ssize_t got =
      source_begin(in.stream, in.buf, in.cap, early ? ahead_turn::early : ahead_turn::now);
  if (got < 0) return false;
  in.end = static_cast<size_t>(got);
  in.text = in.end;
  return true;
}

bool input_give_way(log_input& in) {
  byte_source& src = in.stream;
  if (src.ahead == nullptr && src.dec == nullptr) return false;
  if (in.phase == input_phase::draining) {
    source_drop_decoder(src);
    return true;
  }
  if (in.phase != input_phase::reading || !src.regular) return false;
  source_pause(src);
  in.alone = true;
  return true;
}

void input_wait_again(log_input& in) {
  source_pause(in.stream);  // its decoding thread is done with it
  in.stream.fault = read_fault{};
  drop_buffer(in);
  move_to(in, input_phase::waiting);
  in.alone = false;
}

bool lines_pass_held_line(log_input& in) {
  if (in.phase == input_phase::failed_ahead) return false;
  if (in.phase == input_phase::waiting && !input_resume(in, false)) return false;
  const std::string_view held = in.line;
  size_t left = held.size();
  while (left > 0) {
    if (in.end > in.pos) {
      const size_t take = std::min(left, in.end - in.pos);
      if (std::memcmp(in.buf + in.pos, held.data() + (held.size() - left), take) != 0) {
        source_close(in.stream);  // no decoding thread writes the record now
        in.stream.fault.problem = kFileTruncated;
        return false;
      }
      in.pos = in.scan = in.pos + take;
      left -= take;
      continue;
    }
    in.pos = in.scan = in.end = 0;
    const ssize_t got = source_read(in.stream, in.buf, in.cap);
    if (got < 0) return false;
    if (got == 0) {  // shorter now than its first line
      in.stream.fault.problem = kFileTruncated;
      return false;
    }
    in.end = static_cast<size_t>(got);
    in.text += in.end;
  }
  move_to(in, input_phase::reading);
  in.stream.unchecked = false;  // it came again, checked
  return true;
}


bool lines_read_alone(log_input& in) {
  byte_source& src = in.stream;
  in.alone = false;
  if (!source_rewind(src)) return false;
  for (uint64_t left = in.text; left > 0;) {
    const ssize_t got = source_read(src, in.buf + in.end, in.cap - in.end);
    if (got <= 0) {
      if (got == 0) src.fault.problem = kFileTruncated;  // shorter than what was read
      return false;
    }
    const auto n = static_cast<size_t>(got);
    if (n <= left) {
      left -= n;
      continue;
    }
    const auto passed = static_cast<size_t>(left);
    std::memmove(in.buf + in.end, in.buf + in.end + passed, n - passed);
    in.end += n - passed;
    in.text += n - passed;
    left = 0;
  }
  return true;
}


char* lines_hand_over(log_input& in) {
  const size_t tail = in.end - in.pos;
  char* fresh = nullptr;
  size_t cap = 0;
  if (tail > 0) {  // a line begun: a buffer that has room for more of it
    cap = in.block;
    while (cap < tail || cap - tail < cap / 2) cap *= 2;
    fresh = static_cast<char*>(std::malloc(cap));
    if (fresh == nullptr) return nullptr;
    std::memcpy(fresh, in.buf + in.pos, tail);
  }
  // With nothing begun, the next refill makes the new buffer.
  char* old = in.buf;
  in.buf = fresh;
  in.cap = cap;
  in.scan = in.scan - in.pos;
  in.end = tail;
  in.pos = 0;
  return old;
}

input_status lines_refill(log_input& in, input_wait wait) {
  if (wait == input_wait::ask && source_may_block(in.stream)) return input_status::would_block;
  if (in.pos > 0) {
    const size_t keep = in.end - in.pos;
    std::memmove(in.buf, in.buf + in.pos, keep);
    in.scan -= in.pos;
    in.end = keep;
    in.pos = 0;
  }
  // A line as long as the buffer: grow it. Half the buffer must be free so
  // that reads stay large while a long line builds up.
  if (in.end == in.cap || in.cap - in.end < in.cap / 2) {
    const size_t bigger = in.cap > 0 ? in.cap * 2 : std::max(in.block, kSmallestBlock);
    char* grown = static_cast<char*>(std::realloc(in.buf, bigger));
    if (grown == nullptr) {
      source_close(in.stream);  // no decoding thread writes the record now
      in.stream.fault.error = ENOMEM;
      return input_status::failed;
    }
    in.buf = grown;
    in.cap = bigger;
  }
  size_t want = in.cap - in.end;
  if (in.text == 0) want = std::min(want, first_read(in));  // nothing read yet
  if (in.alone) return lines_read_alone(in) ? input_status::ok : input_status::failed;
  const ssize_t got = source_read(in.stream, in.buf + in.end, want);
  if (got < 0) return input_status::failed;
  if (got == 0) {
    move_to(in, input_phase::draining);
    return input_status::dry;
  }
  in.end += static_cast<size_t>(got);
  in.text += static_cast<uint64_t>(got);
  return input_status::ok;
}
