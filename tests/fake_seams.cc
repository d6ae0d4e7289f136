#include "tests/fake_seams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

namespace {

bool interrupted(fake_io& io) {
  if (!io.plan.interrupt || ++io.calls % 2 != 0) return false;
  errno = EINTR;
  return true;
}

ssize_t fake_read(void* ctx, int fd, void* buf, size_t n) {
  fake_io& io = *static_cast<fake_io*>(ctx);
  const fake_seams& plan = io.plan;
  std::lock_guard<std::mutex> hold(io.lock);
  if (interrupted(io)) return -1;
  struct stat st;
  if (plan.read_inode != 0 && (fstat(fd, &st) != 0 || st.st_ino != plan.read_inode))
    return ::read(fd, buf, n);
  const off_t offset = lseek(fd, 0, SEEK_CUR);
  const size_t at = offset >= 0 ? static_cast<size_t>(offset) : io.read_so_far;
  if (at >= plan.read_allowed && !(plan.read_fails_once && io.failed_once)) {
    io.failed_once = true;
    errno = plan.read_errno;
    return -1;
  }
  size_t take = plan.read_chunk == kRandomChunks ? 1 + io.rng() % 4096 : plan.read_chunk;
  if (take == 0 || take > n) take = n;
  if (at < plan.read_allowed) take = std::min(take, plan.read_allowed - at);
  ssize_t got = ::read(fd, buf, take);
  const off_t now = lseek(fd, 0, SEEK_CUR);
  const bool reached_end = got == 0 || (got > 0 && now >= 0 && fstat(fd, &st) == 0 && now >= st.st_size);
  if (reached_end && !io.ended_once && plan.at_end != nullptr) {
    io.ended_once = true;
    if (plan.at_end() && got == 0) got = ::read(fd, buf, take);
  }
  if (got > 0) io.read_so_far += static_cast<size_t>(got);
  return got;
}

ssize_t fake_write(void* ctx, int fd, const void* buf, size_t n) {
  fake_io& io = *static_cast<fake_io*>(ctx);
  const fake_seams& plan = io.plan;
  std::lock_guard<std::mutex> hold(io.lock);
  if (interrupted(io)) return -1;
  if (io.written_so_far >= plan.write_allowed) {
    errno = plan.write_errno;
    return -1;
  }
  if (plan.write_chunk != 0) n = std::min(n, plan.write_chunk);
  n = std::min(n, plan.write_allowed - io.written_so_far);
  ssize_t put = static_cast<ssize_t>(n);
  if (plan.kept != nullptr) {
    plan.kept->append(static_cast<const char*>(buf), n);
  } else {
    put = ::write(fd, buf, n);
  }
  if (put > 0) io.written_so_far += static_cast<size_t>(put);
  return put;
}

}  // namespace

read_seam fake_reads(fake_io& io) { return {fake_read, &io}; }
write_seam fake_writes(fake_io& io) { return {fake_write, &io}; }
