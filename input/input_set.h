// One record for a set of inputs merged together: their decoding pool
// (with its budget and block region), their decoders' counts and kept
// states, and the turns they are expected in. Made by inputs_begin, freed
// by inputs_end; every input of the set points to it. Internal to input/.
#pragma once

#include <cstddef>

#include "input/decode_ahead.h"
#include "input/decoder.h"
#include "input/turns.h"

struct input_set {
  ahead_pool pool;
  decoder_stock decoders;
  expected_turns turns;
  size_t* report_peak = nullptr;  // where inputs_end tells the decoders' peak
};
