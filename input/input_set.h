// One record for a set of inputs merged together: their decoding pool
// (with its budget and block region), their decoders' counts and kept
// states, and the turns they are expected in. Made by inputs_begin, freed
// by inputs_end (turns.cc); every input of the set points to it. Internal
// to input/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "input/decode_ahead.h"
#include "input/decoder.h"

struct log_input;

// The waiting inputs in the order the merge expects to need them, and the
// next one to start decoding ahead of its turn.
struct expected_turns {
  log_input* const* order = nullptr;
  size_t n = 0, next = 0;
  uint64_t refused = ~uint64_t{0};  // the pool's epoch when it had no room
  // Memory ran out for an input read again: from then on each is read in
  // its turn alone, as one core would, so that what merges never depends
  // on how many inputs were started at once.
  bool memory_short = false;
};

struct input_set {
  ahead_pool pool;
  decoder_stock decoders;
  expected_turns turns;
  read_seam reads;  // every input's reads
  // Every input opened in the set, so that all give way when memory runs
  // out (log_input.cc), room for as many as the set was begun for.
  std::unique_ptr<log_input*[]> all;
  size_t nall = 0, capall = 0;
  size_t* report_peak = nullptr;  // where inputs_end tells the decoders' peak
  size_t* report_pieces = nullptr;  // and the pieces' peak
};
