// Output stage: buffered writing of the merged log to a file descriptor.
//
// Owns the output buffer, widening an output pipe, and turning short,
// interrupted and failed writes into one sticky errno. It never prints,
// exits, installs a signal handler or looks at what the bytes mean: a
// reader that goes away ends the process through SIGPIPE as usual, or,
// where SIGPIPE is ignored, as a write error (EPIPE).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// The write call, passed in: the system's, or a test's fake that injects
// failures, short writes and interrupted calls.
struct write_seam {
  // As write(2), with ctx; null: the system's write.
  ssize_t (*write)(void* ctx, int fd, const void* buf, size_t n) = nullptr;
  void* ctx = nullptr;
};

// Writes all n bytes to fd through `via`, completing short writes and
// retrying interrupted calls. Returns 0, or the errno of the write that
// failed. (For writes that need no buffer: help and version text.)
int write_fully(const write_seam& via, int fd, const char* buf, size_t n);

// The output: one large buffer in front of a descriptor. Lines are copied in
// and go out in big writes. After a failed write `error` holds its errno and
// every later call fails at once, so a caller may check only some results
// and still never report success for bytes that were not written.
struct output {
  int fd = -1;
  write_seam writes;  // how fd is written
  char* buf = nullptr;
  size_t cap = 0;
  size_t len = 0;
  int error = 0;
  uint64_t written = 0;  // bytes written to fd so far
  // Called after each successful write to fd (a buffer at a time, never a
  // line at a time), for a caller that reports progress.
  void (*after_write)(void* arg) = nullptr;
  void* after_write_arg = nullptr;
};

// Default size of the output buffer.
inline constexpr size_t kOutputBufferSize = size_t{256} * 1024;

// Sets up `out` to write to fd through a buffer of `cap` bytes, with
// `writes`. Returns false when the buffer cannot be allocated.
bool output_open(output& out, int fd, size_t cap = kOutputBufferSize,
                 const write_seam& writes = {});
void output_close(output& out);

// Writes out everything buffered. Returns false on a write failure.
bool output_flush(output& out);

bool output_put_slow(output& out, const char* p, size_t n);

// Appends n bytes. Returns false on a write failure.
inline bool output_put(output& out, const char* p, size_t n) {
  if (n <= out.cap - out.len) {
    std::memcpy(out.buf + out.len, p, n);
    out.len += n;
    return true;
  }
  return output_put_slow(out, p, n);
}

inline bool output_put(output& out, std::string_view s) {
  return output_put(out, s.data(), s.size());
}

// Appends n bytes that the caller has gathered in a buffer of its own:
// when they do not fit in the output's, what is buffered goes out, then
// they go out as they are, not copied, in writes of the buffer's size.
// Returns false on a write failure.
bool output_put_whole(output& out, const char* p, size_t n);

// Appends one line, adding a newline when it lacks one (only the last line
// of an input can), so that it is never glued to the next line written.
inline bool output_put_line(output& out, std::string_view line) {
  if (!output_put(out, line)) return false;
  if (line.empty() || line.back() != '\n') return output_put(out, "\n", 1);
  return true;
}

// When fd is a pipe and the system lets a process size its pipes (Linux's
// F_SETPIPE_SZ), widens it to `bytes` unless it is wider already. A wide
// pipe lets each write hand over more at once, so writer and reader switch
// places far less often: on Linux a 1 MiB pipe moves a merged log several
// times faster than the default 64 KiB one. Does nothing elsewhere, and
// nothing when the system refuses; the output is the same either way.
void widen_pipe(int fd, int bytes);
