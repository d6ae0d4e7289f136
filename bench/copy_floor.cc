// The copy floor: what a merge of plain files would cost if merging were
// free. Reads each file in blocks of BLOCK bytes (braidlogs reads 64 KiB)
// into a buffer, copies it into a 256 KiB output buffer as braidlogs copies
// its lines, and writes that to standard output, file after file, with the
// output pipe widened as braidlogs widens its own. Everything braidlogs
// does but find lines, key them and choose between inputs.
//
//   copy_floor BLOCK FILE...
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "output/output.h"
#include "output/output.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const size_t block = std::strtoul(argv[1], nullptr, 10);
  widen_pipe(STDOUT_FILENO, 1024 * 1024);  // as braidlogs does
  output out;
  if (block == 0 || !output_open(out, STDOUT_FILENO)) return 2;
  std::vector<char> buf(block);
  for (int i = 2; i < argc; ++i) {
    const int fd = open(argv[i], O_RDONLY);
    if (fd < 0) return 1;
    ssize_t n;
    while ((n = read(fd, buf.data(), block)) > 0)
      if (!output_put(out, buf.data(), static_cast<size_t>(n))) return 1;
    if (n < 0) return 1;
    close(fd);
  }
  return output_flush(out) ? 0 : 1;
}
