// The line reader: an input's buffer, cut into lines, read again from its
// start when an input that waited its turn is needed.
#include "input/log_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "input/budget.h"
#include "input/input_set.h"
#include "input/read_again.h"
#include "input/sys_read.h"

namespace {

// The buffer, and the input counted in its set, once its source is open.
// Byte buffers are malloc'd, since a line buffer grows with realloc.
bool input_ready(log_input& in, input_set* set, size_t block);

}  // namespace

bool input_open(log_input& in, const char* path, input_set* set, size_t block) {
  in = log_input{};
  in.path = path;
  in.set = set;
  if (!source_open(in.stream, path, set, set != nullptr ? set->reads : read_seam{})) return false;
  return input_ready(in, set, block);
}

bool input_open_fd(log_input& in, int fd, const char* name, input_set* set, size_t block) {
  in = log_input{};
  in.path = name;
  in.set = set;
  if (!source_open_fd(in.stream, fd, set, set != nullptr ? set->reads : read_seam{}))
    return false;
  return input_ready(in, set, block);
}

namespace {

bool input_ready(log_input& in, input_set* set, size_t block) {
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
  in.phase = input_phase::reading;
  if (set != nullptr && set->nall < set->capall) set->all[set->nall++] = &in;
  return true;
}

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

void input_start(log_input& in) {
  if (in.phase != input_phase::reading || in.stream.started || !in.stream.regular) return;
  const ssize_t got = source_begin(in.stream, in.buf, first_read(in), ahead_turn::first_line);
  if (got < 0) {
    in.phase = input_phase::failed_ahead;
  } else {
    in.end = static_cast<size_t>(got);
    in.text = in.end;
  }
}

void input_wait_turn(log_input& in) {
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
  in.phase = input_phase::waiting;
  in.alone = false;  // read again from its start anyway
  source_pause(in.stream);
}

bool input_out_of_memory(const log_input& in) { return in.stream.fault.error == ENOMEM; }

// Frees everything the input holds at once; the fault record stays.
void input_release(log_input& in) {
  in.phase = input_phase::ended;
  in.line = {};
  source_close(in.stream);
  drop_buffer(in);
  std::free(in.first);
  in.first = nullptr;
}

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

void input_failed_ahead(log_input& in) { in.phase = input_phase::failed_ahead; }

bool input_resume(log_input& in, bool early) {
  in.phase = early ? input_phase::early : input_phase::reading;
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

void input_give_way(log_input& in) {
  if (in.phase != input_phase::reading || in.stream.ahead == nullptr) return;
  source_pause(in.stream);
  in.alone = true;
}

void input_wait_again(log_input& in) {
  source_pause(in.stream);  // its decoding thread is done with it
  in.stream.fault = read_fault{};
  drop_buffer(in);
  in.phase = input_phase::waiting;
  in.alone = false;
}

namespace {

input_status end_input(log_input& in, input_status why) {
  input_release(in);
  if (in.set != nullptr) in.set->may_start(*in.set);  // its place in the pool is free
  return why;
}

// Whether the input must be read again from its start (or has failed to
// be) before its next line: checked at every line, so kept to a test.
inline bool behind(const log_input& in) {
  return in.phase == input_phase::waiting || in.phase == input_phase::early ||
         in.phase == input_phase::failed_ahead;
}

// Reads an input that is behind again from its start and past its first
// line, which must be the line it held: a file changed while it waited
// ends with "file truncated", and nothing of it is spliced to that line.
// False with the fault set.
bool pass_held_line(log_input& in) {
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
  in.phase = input_phase::reading;
  in.stream.unchecked = false;  // it came again, checked
  return true;
}

// Brings an input that is behind up to its second line, its held line
// still current. When memory runs out on the way, what the inputs started
// early hold is given back and it is read once more, alone. False with the
// fault set.
bool pass_held_line_alone(log_input& in) {
  bool passed = pass_held_line(in);
  if (!passed && in.stream.fault.error == ENOMEM && in.stream.fd >= 0 && in.set != nullptr) {
    input_wait_again(in);
    in.set->memory_short(*in.set, in);
    passed = pass_held_line(in);
  }
  if (passed && in.set != nullptr) in.set->may_start(*in.set);
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

// Decodes an input that gave way again from its start, here, passing over
// its text up to what was read. False with the fault set.
bool read_alone(log_input& in) {
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

// Memory ran out decoding the input on the pool, in its turn: every input
// of the set gives way, as on one core (turns.cc), and this one is decoded
// again here. False when it cannot be.
bool give_way_and_read(log_input& in) {
  byte_source& src = in.stream;
  if (src.fault.error != ENOMEM || src.ahead == nullptr || in.set == nullptr) return false;
  source_pause(src);  // its decoder and blocks go first
  in.set->memory_short(*in.set, in);
  return read_alone(in);
}

// Makes room after the unfinished line [pos, end) and reads more bytes.
// Returns ok when bytes arrived, dry at end of input, or failed.
[[gnu::noinline]] input_status refill(log_input& in, input_wait wait) {
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
  size_t want = in.cap - in.end;
  if (in.text == 0) want = std::min(want, first_read(in));  // nothing read yet
  if (in.alone) return read_alone(in) ? input_status::ok : end_input(in, input_status::failed);
  const ssize_t got = source_read(in.stream, in.buf + in.end, want);
  if (got < 0)
    return give_way_and_read(in) ? input_status::ok : end_input(in, input_status::failed);
  if (got == 0) {
    in.phase = input_phase::draining;
    return input_status::dry;
  }
  in.end += static_cast<size_t>(got);
  in.text += static_cast<uint64_t>(got);
  return input_status::ok;
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
