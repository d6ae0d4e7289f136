// How compressed regular files are decoded ahead on threads. Zero fields
// are worked out from the machine and the number of inputs; tests set them
// to put block ends and thread hand-offs everywhere.
#pragma once

#include <cstddef>

struct decode_plan {
  unsigned threads = 0;    // decoding threads (0: one per usable core)
  size_t block = 0;        // bytes a block (0: from the budget)
  bool off = false;        // decode every input in the merge thread
  // The merge takes a block only once the input's ring is full or its
  // decoder has ended, so that decoders run as far ahead as they ever can.
  bool fill_ring_first = false;
  // When set, told at the end of the set the most decoders that were alive
  // at once (for tests and benchmarks).
  size_t* decoders_peak = nullptr;
  // Likewise the most pieces of files (bzip2 blocks) decoding at once; and
  // told on the decoding thread as each piece begins to decode.
  size_t* pieces_peak = nullptr;
  // A compressed file is decoded in pieces only when larger than this (0:
  // kPiecesFrom); smaller ones gain nothing that decoding many at once
  // does not give.
  size_t pieces_from = 0;
  void (*piece_begun)(void* arg) = nullptr;
  void* piece_arg = nullptr;
};
