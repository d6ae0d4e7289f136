// Compressed inputs: recognising them by their first bytes, and decoding
// them a buffer at a time. The merge sees only decompressed bytes.
#pragma once

#include <sys/types.h>

#include <cstddef>

// The order indexes the tables of names and messages in decoder.cc.
enum class compression { none, gzip, bzip2, xz, zstd };

// Bytes needed to tell every format apart.
inline constexpr size_t kMagicBytes = 6;

// The format whose magic number the first n bytes start with, or none.
compression detect_compression(const unsigned char* p, size_t n);

// "gzip", "bzip2", "xz" or "zstd".
const char* compression_name(compression c);

// The compressed bytes as they are read from the input's descriptor.
struct raw_input {
  int fd = -1;
  unsigned char* buf = nullptr;
  size_t cap = 0;
  size_t pos = 0;  // next byte for the decoder
  size_t end = 0;  // end of the bytes read
  bool eof = false;
};

// One input's decoder. `state` belongs to the format's functions.
struct decoder {
  compression kind = compression::none;
  raw_input raw;
  void* state = nullptr;
  int error = 0;                  // errno of a failed read
  const char* problem = nullptr;  // or what is wrong with the data
};

// Reads more compressed bytes when all that were read have been used.
// Returns false on a read error (d.error set); at end of input returns true
// with raw.eof set and nothing new.
bool decoder_fill(decoder& d);

// Returns a decoder for format c that reads descriptor fd, with the first
// `head_len` bytes of the input already read into `head`. Returns nullptr
// with *problem set when this build cannot decode c or memory runs out.
decoder* decoder_open(compression c, int fd, const unsigned char* head,
                      size_t head_len, const char** problem);

// Decodes up to n bytes into out. Returns the count, 0 at the end of the
// data, or -1 with d.error or d.problem set. Concatenated members, streams
// and frames are read to the end.
ssize_t decoder_read(decoder& d, char* out, size_t n);

void decoder_close(decoder* d);
