#include "tests/fake_seams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "input/sys_read.h"
#include "output/sys_write.h"

namespace {

fake_seams plan;
size_t read_so_far = 0, written_so_far = 0;
unsigned calls = 0;
bool ended_once = false, failed_once = false;
std::mt19937 rng;

bool interrupted() {
  if (!plan.interrupt || ++calls % 2 != 0) return false;
  errno = EINTR;
  return true;
}

ssize_t fake_read(int fd, void* buf, size_t n) {
  if (interrupted()) return -1;
  struct stat st;
  if (plan.read_inode != 0 && (fstat(fd, &st) != 0 || st.st_ino != plan.read_inode))
    return ::read(fd, buf, n);
  const off_t offset = lseek(fd, 0, SEEK_CUR);
  const size_t at = offset >= 0 ? static_cast<size_t>(offset) : read_so_far;
  if (at >= plan.read_allowed && !(plan.read_fails_once && failed_once)) {
    failed_once = true;
    errno = plan.read_errno;
    return -1;
  }
  size_t take = plan.read_chunk == kRandomChunks ? 1 + rng() % 4096 : plan.read_chunk;
  if (take == 0 || take > n) take = n;
  if (at < plan.read_allowed) take = std::min(take, plan.read_allowed - at);
  ssize_t got = ::read(fd, buf, take);
  const off_t now = lseek(fd, 0, SEEK_CUR);
  const bool reached_end = got == 0 || (got > 0 && now >= 0 && fstat(fd, &st) == 0 && now >= st.st_size);
  if (reached_end && !ended_once && plan.at_end != nullptr) {
    ended_once = true;
    if (plan.at_end() && got == 0) got = ::read(fd, buf, take);
  }
  if (got > 0) read_so_far += static_cast<size_t>(got);
  return got;
}

ssize_t fake_write(int fd, const void* buf, size_t n) {
  if (interrupted()) return -1;
  if (written_so_far >= plan.write_allowed) {
    errno = plan.write_errno;
    return -1;
  }
  if (plan.write_chunk != 0) n = std::min(n, plan.write_chunk);
  n = std::min(n, plan.write_allowed - written_so_far);
  ssize_t put = static_cast<ssize_t>(n);
  if (plan.kept != nullptr) {
    plan.kept->append(static_cast<const char*>(buf), n);
  } else {
    put = ::write(fd, buf, n);
  }
  if (put > 0) written_so_far += static_cast<size_t>(put);
  return put;
}

}  // namespace

void fake_seams_install(const fake_seams& p) {
  plan = p;
  read_so_far = written_so_far = 0;
  calls = 0;
  ended_once = failed_once = false;
  rng.seed(p.seed);
  sys_read = fake_read;
  sys_write = fake_write;
}

void fake_seams_remove() {
  sys_read = ::read;
  sys_write = ::write;
}
