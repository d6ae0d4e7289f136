// Why an input stopped giving bytes, held once per input and passed by
// reference to whatever reads it (the descriptor, a decoder, a decoding
// thread), so that every layer reports into the same record.
#pragma once

#include <cstring>

struct read_fault {
  int error = 0;                  // errno of a failed read, or ENOMEM
  const char* problem = nullptr;  // or what is wrong with the data
  // The data ended, after whole members, at bytes that begin no member.
  // Everything before them was read; the caller reports it once the
  // input's lines are merged. Not a failure: reading ends normally.
  bool trailing_garbage = false;
};

inline bool fault_failed(const read_fault& f) { return f.error != 0 || f.problem != nullptr; }

// The text that describes the failure, for messages.
inline const char* fault_text(const read_fault& f) {
  return f.problem != nullptr ? f.problem : std::strerror(f.error);
}
