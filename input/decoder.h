// Compressed inputs: recognising them by their first bytes, and decoding
// them a buffer at a time. The merge sees only decompressed bytes.
#pragma once

#include <sys/types.h>

#include <cstddef>

enum class compression { none, gzip, bzip2, xz, zstd };

// Bytes needed to recognise every format by its full signature: bzip2's
// "BZh", a block-size digit and the six-byte magic of its first block or of
// its end of stream.
inline constexpr size_t kMagicBytes = 10;

// The format whose full signature the first n bytes hold, or none. Text
// that only starts like a signature ("BZh" in a log line) is text.
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
  bool in_member = false;  // a member (gzip member, bzip2 or xz stream,
                           // zstd frame) has begun and not yet ended
  bool ended = false;      // the data has ended; reads give 0
  int error = 0;                  // errno of a failed read, or ENOMEM
  const char* problem = nullptr;  // or what is wrong with the data
  // The data ended, after whole members, at bytes that begin no member.
  // Everything before them was decoded; the caller reports this once the
  // input's lines are merged.
  bool trailing_garbage = false;
};

// Returns a decoder for format c that reads descriptor fd, with the first
// `head_len` bytes of the input already read into `head`. Returns nullptr
// with *error set (ENOMEM) or *problem set (this build cannot decode c).
decoder* decoder_open(compression c, int fd, const unsigned char* head,
                      size_t head_len, int* error, const char** problem);

// Decodes up to n (> 0) bytes into out: members one after another to the
// end of the input, as the format's own tool does. Returns the count, 0 at
// the end of the data (trailing_garbage may then be set), or -1 with
// d.error or d.problem set ("truncated ..." when the input ends inside a
// member, "corrupt ..." when the library refuses the data).
ssize_t decoder_read(decoder& d, char* out, size_t n);

void decoder_close(decoder* d);
