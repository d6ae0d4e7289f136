// What a byte source holds of the layers below it without knowing them:
// owning handles to a decoder and to an input decoding ahead on the pool,
// and how such an input is to be decoded. Internal to input/.
#pragma once

#include <memory>

struct decoder;  // decoder.h
struct decoder_closer {
  void operator()(decoder* d) const;
};
using decoder_ptr = std::unique_ptr<decoder, decoder_closer>;

struct ahead_input;  // decode_ahead.h
// Closing waits for any block of the input being decoded, then frees it
// all, the decoder included.
struct ahead_closer {
  void operator()(ahead_input* in) const;
};
using ahead_ptr = std::unique_ptr<ahead_input, ahead_closer>;

// How a compressed regular file handed to the pool is decoded.
enum class ahead_turn {
  now,         // the merge reads it now
  early,       // ahead of its turn in the merge: it decodes only into budget
               // that the inputs being merged leave over, until its first read
  first_line,  // at start-up, for its first line: one small block, and the
               // next only when the merge has read it
};
