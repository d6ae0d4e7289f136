#include "output/output.h"

#include <fcntl.h>
#include <sys/stat.h>

void widen_pipe(int fd, int bytes) {
#if defined(F_SETPIPE_SZ) && defined(F_GETPIPE_SZ)
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  const int now = ::fcntl(fd, F_GETPIPE_SZ);
  if (now < 0 || now >= bytes) return;
  ::fcntl(fd, F_SETPIPE_SZ, bytes);
#else
  (void)fd;
  (void)bytes;
#endif
}
