#include "input/log_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "input/decode_ahead.h"
#include "input/sys_read.h"

bool inputs_begin(size_t n, const decode_plan& plan) { return decode_ahead_setup(n, plan); }

void inputs_end() {
  decode_ahead_shutdown();
  decoders_forget();
}

// Byte buffers are malloc'd, since a line buffer grows with realloc; every
// record is made with new.
bool input_open(log_input& in, const char* path, size_t block) {
  in = log_input{};
  in.path = path;
  block = std::max(block, kSniffBytes);  // the first read tells the format
  if (!source_open(in.stream, path)) return false;
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
  in.active = true;
  return true;
}

void input_start(log_input& in) {
  if (!in.active || in.stream.started || !in.stream.regular) return;
  in.stream.ahead_allowed = true;
  in.stream.turn = ahead_turn::first_line;
  const ssize_t got = source_begin(in.stream, in.buf, std::min(in.cap, kSmallestBlock));
  if (got < 0) {
    in.start_failed = true;
  } else {
    in.end = static_cast<size_t>(got);
    in.text = in.end;
  }
}

size_t inputs_at_once() { return std::max(ahead_threads(), 1u); }

void input_wait_turn(log_input& in) {
  const bool compressed = in.stream.dec != nullptr || in.stream.ahead != nullptr;
  if (!in.active || in.waiting || !in.stream.regular ||
      (!compressed && in.stream.size <= in.cap))
    return;
  const size_t n = in.line.size();
  char* copy = static_cast<char*>(std::malloc(std::max<size_t>(n, 1)));
  if (copy == nullptr) return;  // it reads on as it is
  std::memcpy(copy, in.line.data(), n);
  std::free(in.buf);
  in.buf = nullptr;
  in.cap = in.pos = in.scan = in.end = 0;
  in.first = copy;
  in.line = std::string_view(copy, n);
  in.at_eof = false;
  in.waiting = true;
  in.compressed = compressed;
  source_pause(in.stream);
}

size_t input_decoders_peak() { return decoders_peak(); }

bool input_out_of_memory(const log_input& in) { return in.stream.fault.error == ENOMEM; }

void inputs_free_spare() { decoders_forget(); }

// Frees everything the input holds at once; the fault record stays.
void input_release(log_input& in) {
  in.active = false;
  in.line = {};
  source_close(in.stream);
  std::free(in.buf);
  in.buf = nullptr;
  in.cap = in.pos = in.scan = in.end = 0;
  std::free(in.first);
  in.first = nullptr;
}

const char* input_error_text(const log_input& in) { return fault_text(in.stream.fault); }

bool input_trailing_garbage(const log_input& in) {
  // Read only once the input has ended: until then a decoding thread may
  // still be writing the record.
  return in.at_eof && in.stream.fault.trailing_garbage;
}

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

void start_early();
// Reads a waiting input again from its start (`early`: ahead of its turn,
// while its first line is still to be written): a compressed file starts
// decoding; its first line is passed over by catch_up(). False with the
// fault set.
bool resume(log_input& in, bool early) {
  in.skip = in.line.size();
  in.waiting = false;
  in.buf = static_cast<char*>(std::malloc(in.block));
  if (in.buf == nullptr) {
    in.stream.fault.error = ENOMEM;
    return false;
  }
  in.cap = in.block;
  in.pos = in.scan = in.end = 0;
  if (!source_rewind(in.stream, early ? ahead_turn::early : ahead_turn::now)) return false;
  const ssize_t got = source_begin(in.stream, in.buf, in.cap);
  if (got < 0) return false;
  in.end = static_cast<size_t>(got);
  in.text = in.end;
  return true;
}

input_status end_input(log_input& in, input_status why) {
  input_release(in);
  start_early();  // its place in the pool is free
  return why;
}

// The waiting inputs in the order the merge expects to need them, and the
// next one to start early.
struct expected_turns {
  log_input* const* order = nullptr;
  size_t n = 0, next = 0;
  uint64_t refused = ~uint64_t{0};  // the pool's epoch when it had no room
  // Memory ran out for an input read again: from then on each is read in
  // its turn alone, as one core would, so that what merges never depends
  // on how many inputs were started at once.
  bool memory_short = false;
} turns;

// Puts an input that was read again from its start (and has not yet
// passed its first line) back to waiting, giving back its buffer and
// decoder.
void wait_again(log_input& in) {
  source_pause(in.stream);  // its decoding thread is done with it
  in.stream.fault = read_fault{};
  std::free(in.buf);
  in.buf = nullptr;
  in.cap = in.pos = in.scan = in.end = 0;
  in.at_eof = false;
  in.skip = 0;
  in.start_failed = false;
  in.waiting = true;
}

// Memory ran out reading `in` again: the inputs started ahead of their
// turn go back to waiting, the kept decoder states are freed, and no more
// start early.
void make_room(const log_input& in) {
  turns.memory_short = true;
  for (size_t k = 0; k < turns.next; ++k) {
    log_input& other = *turns.order[k];
    if (&other != &in && other.active && !other.waiting && other.skip > 0) wait_again(other);
  }
  decoders_forget();
}

// Starts the next compressed waiting inputs decoding ahead of their turn,
// as far as the pool has room. Cheap when nothing has changed.
void start_early() {
  while (turns.next < turns.n && !turns.memory_short) {
    log_input& in = *turns.order[turns.next];
    if (!in.waiting || !in.compressed) {  // its turn came, or it ended
      ++turns.next;
      continue;
    }
    const uint64_t epoch = ahead_epoch();
    if (epoch == turns.refused) return;
    if (!ahead_room_for_early()) {
      turns.refused = epoch;
      return;
    }
    ++turns.next;
    if (resume(in, true)) continue;
    if (in.stream.fault.error == ENOMEM) {  // it is read in its turn instead
      wait_again(in);
      turns.memory_short = true;
    } else {
      in.start_failed = true;  // told in its turn
    }
  }
}

// Whether the input must be read again from its start (or has failed to
// be) before its next line: checked at every line, so kept to a test.
inline bool behind(const log_input& in) { return in.waiting || in.skip > 0 || in.start_failed; }

// Reads an input that is behind again from its start and past its first
// line, which must be the line it held: a file changed while it waited
// ends with "file truncated", and nothing of it is spliced to that line.
// False with the fault set.
bool pass_held_line(log_input& in) {
  if (in.waiting && !resume(in, false)) return false;
  if (in.start_failed) return false;
  const std::string_view held = in.line;
  while (in.skip > 0) {
    if (in.end > in.pos) {
      const size_t take = std::min(in.skip, in.end - in.pos);
      if (std::memcmp(in.buf + in.pos, held.data() + (held.size() - in.skip), take) != 0) {
        source_close(in.stream);  // no decoding thread writes the record now
        in.stream.fault.problem = kFileTruncated;
        return false;
      }
      in.pos = in.scan = in.pos + take;
      in.skip -= take;
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
  return true;
}

// Brings an input that is behind up to its second line. When memory runs
// out on the way, what the inputs started early hold is given back and it
// is read once more, alone. False with the fault set.
bool catch_up(log_input& in) {
  bool passed = pass_held_line(in);
  if (!passed && in.stream.fault.error == ENOMEM && in.stream.fd >= 0) {
    wait_again(in);
    make_room(in);
    passed = pass_held_line(in);
  }
  in.line = {};  // written: its copy goes
  std::free(in.first);
  in.first = nullptr;
  if (!passed) return false;
  start_early();
  return true;
}

// Makes room after the unfinished line [pos, end) and reads more bytes.
// Returns ok when bytes arrived, dry at end of input, or failed.
input_status refill(log_input& in, input_wait wait) {
  if (wait == input_wait::ask && source_may_block(in.stream)) return input_status::would_block;
  if (turns.next < turns.n) start_early();  // a decoder may have ended since
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
    const size_t bigger = in.cap > 0 ? in.cap * 2 : kInputBlockSize;
    char* grown = static_cast<char*>(std::realloc(in.buf, bigger));
    if (grown == nullptr) {
      source_close(in.stream);  // no decoding thread writes the record now
      in.stream.fault.error = ENOMEM;
      return end_input(in, input_status::failed);
    }
    in.buf = grown;
    in.cap = bigger;
  }
  // A regular file's first read is small: its first line is all that
  // start-up needs, and a compressed file that then waits its turn would
  // have decoded a whole block for nothing.
  size_t want = in.cap - in.end;
  if (in.first_line && in.stream.regular) want = std::min(want, kSmallestBlock);
  const ssize_t got = source_read(in.stream, in.buf + in.end, want);
  if (got < 0) return end_input(in, input_status::failed);
  if (got == 0) {
    in.at_eof = true;
    return input_status::dry;
  }
  in.end += static_cast<size_t>(got);
  in.text += static_cast<uint64_t>(got);
  return input_status::ok;
}

}  // namespace

input_status input_next(log_input& in, input_wait wait) {
  if (behind(in) && !catch_up(in)) return end_input(in, input_status::failed);
  for (;;) {
    const void* nl = std::memchr(in.buf + in.scan, '\n', in.end - in.scan);
    if (nl != nullptr) {
      const size_t stop = static_cast<size_t>(static_cast<const char*>(nl) - in.buf) + 1;
      in.line = std::string_view(in.buf + in.pos, stop - in.pos);
      in.pos = in.scan = stop;
      in.first_line = false;
      return input_status::ok;
    }
    in.scan = in.end;
    if (in.at_eof) {
      if (in.pos == in.end) return end_input(in, input_status::dry);
      // The last line, without a newline.
      in.line = std::string_view(in.buf + in.pos, in.end - in.pos);
      in.pos = in.scan = in.end;
      in.first_line = false;
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
      if (in.at_eof) {  // the rest, ending with a line that has no newline
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
    } else if (in.at_eof) {
      return end_input(in, input_status::dry);
    }
    const input_status st = refill(in, wait);
    if (st == input_status::failed || st == input_status::would_block) return st;
  }
}

void inputs_expect_turns(log_input* const* order, size_t n) {
  turns = expected_turns{};
  turns.order = order;
  turns.n = n;
  start_early();
}
