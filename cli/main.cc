#include <malloc.h>

#include "cli/run.h"

int main(int argc, char** argv) {
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
  // Decoders' windows and decoded blocks of up to a few MiB come and go all
  // through a merge of many files. Keep them in the heap and keep freed
  // memory in the process, rather than handing every such buffer back to
  // the system: each page taken anew costs a fault. (Peak memory does not
  // grow: only memory in use before is kept.)
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
#if defined(M_ARENA_MAX)
  // One heap for every thread: a decoding thread's own heap is handed back
  // to the system whenever all in it is free, and taken anew, page by
  // page, by the next file's decoder. The threads allocate a buffer a
  // block or a file, too seldom to contend for one heap.
  mallopt(M_ARENA_MAX, 1);
#endif
  return braidlogs_run(argc, argv);
}
