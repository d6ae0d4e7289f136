#include "output/output.h"

#include <cstdlib>


bool output_open(output& out, int fd, size_t cap, const write_seam& writes) {
  out = output{};
  out.writes = writes;
  out.buf = static_cast<char*>(std::malloc(cap));
  if (out.buf == nullptr) return false;
  out.fd = fd;
  out.cap = cap;
  return true;
}

void output_close(output& out) {
  std::free(out.buf);
  out.buf = nullptr;
  out.cap = out.len = 0;
}

namespace {

// Records a failed write. The buffer is marked full so that the inline fast
// path of output_put always falls through to the slow path, which fails.
bool fail(output& out, int error) {
  out.error = error;
  out.len = out.cap;
  return false;
}

}  // namespace

bool output_flush(output& out) {
  if (out.error != 0) return false;
  if (out.len == 0) return true;
  const int error = write_fully(out.writes, out.fd, out.buf, out.len);
  if (error != 0) return fail(out, error);
  out.written += out.len;
  out.len = 0;
  if (out.after_write != nullptr) out.after_write(out.after_write_arg);
  return true;
}

bool output_put_whole(output& out, const char* p, size_t n) {
  if (n < out.cap - out.len) return output_put(out, p, n);
  if (!output_flush(out)) return false;
  // In writes of the buffer's size, as buffered bytes go out: a reader
  // sees the same pace, and progress is told as often.
  while (n > 0) {
    const size_t take = n < out.cap ? n : out.cap;
    const int error = write_fully(out.writes, out.fd, p, take);
    if (error != 0) return fail(out, error);
    out.written += take;
    p += take;
    n -= take;
    if (out.after_write != nullptr) out.after_write(out.after_write_arg);
  }
  return true;
}

bool output_put_slow(output& out, const char* p, size_t n) {
  if (out.error != 0) return false;
  // Fill the buffer to the brim so every write but the last is full-sized.
  const size_t room = out.cap - out.len;
  std::memcpy(out.buf + out.len, p, room);
  out.len = out.cap;
  p += room;
  n -= room;
  if (!output_flush(out)) return false;
  // What is left of a piece larger than the buffer goes out directly.
  if (n >= out.cap) {
    const size_t direct = n - n % out.cap;
    const int error = write_fully(out.writes, out.fd, p, direct);
    if (error != 0) return fail(out, error);
    out.written += direct;
    p += direct;
    n -= direct;
  }
  std::memcpy(out.buf, p, n);
  out.len = n;
  return true;
}
