// The stage's door: an input's life as the merge sees it. Lines come from
// the line reader (lines.h); when an input ends, catches up or runs short
// of memory, or a read finds the pool's room changed, the turn scheduler
// (turns.h) is called from here, never from below.
#include "input/log_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "input/input_set.h"
#include "input/lines.h"
#include "input/turns.h"

bool input_open(log_input& in, const char* path, input_set* set, size_t block) {
  in = log_input{};
  in.path = path;
  in.set = set;
  if (!source_open(in.stream, path, set)) return false;
  return lines_ready(in, set, block);
}

bool input_open_fd(log_input& in, int fd, const char* name, input_set* set, size_t block) {
  in = log_input{};
  in.path = name;
  in.set = set;
  if (!source_open_fd(in.stream, fd, set)) return false;
  return lines_ready(in, set, block);
}

void input_start(log_input& in) { lines_start(in); }
void input_wait_turn(log_input& in) { lines_wait_turn(in); }
void input_release(log_input& in) { lines_release(in); }

input_set* inputs_begin(size_t n, const decode_plan& plan, const read_seam& reads) {
  return turns_begin(n, plan, reads);
}
void inputs_end(input_set* set) { turns_end(set); }
size_t inputs_at_once(const input_set* set) { return turns_at_once(set); }
void input_set_block(log_input& in, size_t block) {
  in.block = std::max(block, kSmallestBlock);
}
unsigned inputs_threads(const input_set* set) {
  return set != nullptr ? ahead_threads(set->pool) : 0;
}
bool inputs_post(input_set* set, void (*fn)(void* arg), void* arg) {
  pool_task task;
  task.run = fn;
  task.arg = arg;
  return set != nullptr && ahead_post(set->pool, task);
}
void inputs_free_spare(input_set* set) { turns_free_spare(set); }
void inputs_expect_turns(input_set* set, log_input* const* order, size_t n) {
  turns_expect(set, order, n);
}

bool input_out_of_memory(const log_input& in) { return in.stream.fault.error == ENOMEM; }

const char* input_error_text(const log_input& in) { return fault_text(in.stream.fault); }

bool input_trailing_garbage(const log_input& in) {
  // Read only once the input's stream has ended: until then a decoding
  // thread may still be writing the record.
  return (in.phase == input_phase::ended || in.phase == input_phase::draining) &&
         in.stream.fault.trailing_garbage;
}

bool input_ready_within(const log_input& in, int ms) { return source_ready_within(in.stream, ms); }

bool input_is_file(const log_input& in, dev_t dev, ino_t ino) {
  struct stat st;
  return in.stream.fd >= 0 && ::fstat(in.stream.fd, &st) == 0 && st.st_dev == dev &&
         st.st_ino == ino;
}

uint64_t input_size(const log_input& in) { return in.stream.regular ? in.stream.size : 0; }

uint64_t input_bytes_read(const log_input& in) { return source_position(in.stream); }

bool input_compressed(const log_input& in) { return in.stream.compressed; }

uint64_t input_text_read(const log_input& in) { return in.text; }

namespace {

input_status end_input(log_input& in, input_status why) {
  lines_release(in);
  if (in.set != nullptr) turns_start_early(*in.set);  // its place in the pool is free
  return why;
}

// Whether the input must be read again from its start (or has failed to
// be) before its next line: checked at every line, so kept to a test.
inline bool behind(const log_input& in) {
  return in.phase == input_phase::waiting || in.phase == input_phase::early ||
         in.phase == input_phase::failed_ahead;
}

// Brings an input that is behind up to its second line, its held line
// still current. When memory runs out on the way, what the inputs started
// early hold is given back and it is read once more, alone. False with the
// fault set.
bool pass_held_line_alone(log_input& in) {
  bool passed = lines_pass_held_line(in);
  if (!passed && in.stream.fault.error == ENOMEM && in.stream.fd >= 0 && in.set != nullptr) {
    input_wait_again(in);
    turns_make_room(*in.set, in);
    passed = lines_pass_held_line(in);
  }
  if (passed && in.set != nullptr) turns_start_early(*in.set);
  return passed;
}

// The same once its held line is written. Out of line, as is refill():
// input_next, called at every line, stays small.
[[gnu::noinline]] bool catch_up(log_input& in) {
  const bool passed = pass_held_line_alone(in);
  in.line = {};  // written: its copy goes
  std::free(in.first);
  in.first = nullptr;
  return passed;
}

// Memory ran out decoding a compressed file in its turn, on the pool or
// here: every other input of the set gives way (turns.cc), and this one
// is decoded again here, alone. False when it cannot be.
bool give_way_and_read(log_input& in) {
  byte_source& src = in.stream;
  if (src.fault.error != ENOMEM || !src.compressed || !src.regular || in.set == nullptr)
    return false;
  const bool ahead = src.ahead != nullptr;
  source_pause(src);  // its decoder and blocks go first
  const bool freed = turns_make_room(*in.set, in);
  // Read here already, and nothing else gave anything back: it would only
  // run out again at the same place.
  if (!ahead && !freed) return false;
  return lines_read_alone(in);
}

// Makes room after the unfinished line [pos, end) and reads more bytes.
// Returns ok when bytes arrived, dry at end of input, or failed (the input
// has then ended). Before the read, which may wait for a block being
// decoded, the scheduler is called when the pool's room may have changed
// (a decoder ended, an input closed): a check a block, not a line.
[[gnu::noinline]] input_status refill(log_input& in, input_wait wait) {
  if (in.set != nullptr) turns_start_early(*in.set);
  const input_status st = lines_refill(in, wait);
  if (st == input_status::failed)
    return give_way_and_read(in) ? input_status::ok : end_input(in, input_status::failed);
  return st;
}

}  // namespace

bool input_confirm(log_input& in) {
  // Its copy stays until the input is released: its line is yet to be written.
  if (pass_held_line_alone(in)) return true;
  end_input(in, input_status::failed);
  return false;
}

input_status input_next(log_input& in, input_wait wait) {
  if (behind(in) && !catch_up(in)) return end_input(in, input_status::failed);
  for (;;) {
    const void* nl = std::memchr(in.buf + in.scan, '\n', in.end - in.scan);
    if (nl != nullptr) {
      const size_t stop = static_cast<size_t>(static_cast<const char*>(nl) - in.buf) + 1;
      in.line = std::string_view(in.buf + in.pos, stop - in.pos);
      in.pos = in.scan = stop;
      return input_status::ok;
    }
    in.scan = in.end;
    if (in.phase == input_phase::draining) {
      if (in.pos == in.end) return end_input(in, input_status::dry);
      // The last line, without a newline.
      in.line = std::string_view(in.buf + in.pos, in.end - in.pos);
      in.pos = in.scan = in.end;
      return input_status::ok;
    }
    const input_status st = refill(in, wait);
    if (st == input_status::failed || st == input_status::would_block) return st;
  }
}

input_status input_next_piece(log_input& in, std::string_view* piece, input_wait wait) {
  if (behind(in) && !catch_up(in)) return end_input(in, input_status::failed);
  for (;;) {
    if (in.pos < in.end) {
      if (in.phase == input_phase::draining) {  // the rest, ending with a line that has no newline
        *piece = std::string_view(in.buf + in.pos, in.end - in.pos);
        in.pos = in.scan = in.end;
        return input_status::ok;
      }
      // Hand out whole lines only, so that a read failure can never leave
      // part of a line written.
      for (size_t i = in.end; i > in.scan; --i) {
        if (in.buf[i - 1] == '\n') {
          *piece = std::string_view(in.buf + in.pos, i - in.pos);
          in.pos = in.scan = i;
          return input_status::ok;
        }
      }
      in.scan = in.end;
    } else if (in.phase == input_phase::draining) {
      return end_input(in, input_status::dry);
    }
    const input_status st = refill(in, wait);
    if (st == input_status::failed || st == input_status::would_block) return st;
  }
}

input_status input_take_piece(log_input& in, std::string_view* piece, char** owner,
                              input_wait wait) {
  const input_status st = input_next_piece(in, piece, wait);
  if (st != input_status::ok) return st;
  *owner = lines_hand_over(in);
  if (*owner != nullptr) return st;
  source_close(in.stream);  // no decoding thread writes the record now
  in.stream.fault.error = ENOMEM;
  return end_input(in, input_status::failed);
}
