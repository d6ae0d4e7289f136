// Decoding ahead: compressed inputs that are regular files are decoded by a
// small pool of threads, whole large blocks at a time, into buffers that the
// merge thread then reads. Decoding in large blocks keeps each decoder's
// tables in the caches, and the pool puts every core to work; the bytes,
// the errors and the point at which an error is reported are exactly those
// of decoding in the merge thread.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct decoder;

// The memory budget and how it is shared: at most kAheadBlocks blocks per
// input, each of kAheadBudget / (kAheadBlocks x inputs) bytes but no more
// than kAheadMaxBlock. Below kAheadMinBlock a block would be too small to
// keep a decoder's tables warm, and the inputs decode in the merge thread
// as before (this happens past about 85 inputs). Chosen on a 2-core machine:
// bzip2 ran 2.8 to 3.7 times faster with 1 to 4 MiB blocks than with
// 64 KiB ones, and 3 blocks keep a worker busy on an input while the merge
// reads another block of it.
inline constexpr size_t kAheadBudget = size_t{64} << 20;
inline constexpr size_t kAheadBlocks = 3;
inline constexpr size_t kAheadMaxBlock = size_t{4} << 20;
inline constexpr size_t kAheadMinBlock = size_t{256} << 10;

// Tests may force the pool's shape: when nonzero these replace the
// thread count and block size that decode_ahead_setup works out; `off`
// keeps every input in the merge thread; `full_ring` makes the merge take a
// block only once the input's ring is full or its decoder has ended, so
// that the decoders run as far ahead as they ever can.
struct decode_ahead_override {
  unsigned threads = 0;
  size_t block = 0;
  bool off = false;
  bool full_ring = false;
};
extern decode_ahead_override ahead_override;

// Prepares the pool for a merge of `inputs` inputs (threads start when the
// first compressed input is opened). Does nothing when the blocks would be
// too small. Returns false when the threads cannot be started.
bool decode_ahead_setup(size_t inputs);

// Stops the pool's threads and waits for them. Every input decoding ahead
// must be closed first.
void decode_ahead_shutdown();

struct ahead_input;

// Hands `dec` (at the start of its data) to the pool, or returns nullptr
// when the pool is not set up; the caller then decodes in its own thread.
// Returns nullptr with *error = ENOMEM when memory runs out.
ahead_input* ahead_open(decoder* dec, int* error);

// Like decoder_read: up to n bytes, 0 at the end, -1 with *error or
// *problem set. *trailing_garbage is set with the end, as by the decoder.
ssize_t ahead_read(ahead_input& in, char* out, size_t n, int* error, const char** problem,
                   bool* trailing_garbage);

// Waits for any block of this input being decoded, then frees it all,
// the decoder included.
void ahead_close(ahead_input* in);
