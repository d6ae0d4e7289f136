// One compressed input's decoder: the member loop over a format's row,
// reading the input's descriptor a raw block at a time. Internal to input/.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "input/format.h"
#include "input/handles.h"
#include "input/read_fault.h"
#include "input/sys_read.h"

// A set of inputs' decoders: how many are alive, the most at once, and the
// states of decoders closed without a fault, kept for the next decoder of
// the same format: a farm's merge opens one for every file (twice: for its
// first line, and in its turn), and a new zstd window or xz dictionary
// costs a page fault a page. `begin` readies a kept state as it does a new
// one, wherever it stopped. Likewise buffers that held whole members
// (kHeldMost): taken afresh, each would grow by doubling, a copy each
// time, onto pages the kernel must clear. Opened and closed by the merge
// thread (a decoding thread only uses one), but counted with atomics anyway.
inline constexpr size_t kKeptStates = 4;
struct decoder_stock {
  std::atomic<size_t> alive{0}, peak{0};
  std::atomic<unsigned> threaded{0};  // decoders on their library's threads (format.h)
  std::mutex lock;
  bool keep = true;  // memory ran out: states are freed, not kept (under lock)
  struct kept_state {
    const format_ops* ops = nullptr;
    void* state = nullptr;
  } kept[kKeptStates];
  size_t nkept = 0;
  std::unique_ptr<char[]> held[kKeptStates];  // kHeldMost bytes each
  size_t nheld = 0;
};

// The compressed bytes as they are read from the input's descriptor.
struct raw_input {
  int fd = -1;
  read_seam reads;  // how fd is read
  std::unique_ptr<unsigned char[]> buf;
  size_t cap = 0;
  size_t pos = 0;  // next byte for the decoder
  size_t end = 0;  // end of the bytes read
  bool eof = false;
};

struct decoder {
  const input_format* format = nullptr;
  raw_input raw;
  void* state = nullptr;   // the format's own, from its `make`
  bool in_member = false;  // a member (gzip member, bzip2 or xz stream,
                           // zstd frame) has begun and not yet ended
  bool ended = false;      // the data has ended; reads give 0
  // The owner's records, written here: why decoding stopped, and how many
  // bytes were taken from the descriptor (for progress, read by another
  // thread while a decoding thread writes it).
  read_fault* fault = nullptr;
  uint64_t* consumed = nullptr;
  const file_extent* extent = nullptr;  // the owner's, to tell a cut
  decoder_stock* stock = nullptr;       // counted there; null: not counted
  // A member's text held until it ends (format_ops::hold_members), while
  // `holding` the member being read.
  held_text held;
  bool holding = false;
  bool unchecked = false;  // told so at open: nothing is held
  uint64_t skip = 0;      // output bytes still to drop (given before, in pieces)
  uint64_t read_most = 0; // the furthest offset read, before going back
};

// A decoder for format f that reads descriptor fd (through `reads`), counted in `stock`
// (when given) and taking a kept state from it, with the first
// `head_len` bytes of the input already read into `head` (and counted in
// `consumed`), whose length is known as `extent` says. Asked for
// `unchecked` bytes, a format that would hold a block's bytes until its
// check passes hands them out at once (format_ops::unchecked). Returns
// null with `fault` set: ENOMEM, or the format's not-built text when this
// build cannot decode it.
decoder_ptr decoder_open(decoder_stock* stock, const input_format& f, int fd, const read_seam& reads,
                         const unsigned char* head, size_t head_len, read_fault& fault,
                         uint64_t& consumed, const file_extent& extent, bool unchecked = false);

// Decodes up to n (> 0) bytes into out: members one after another to the
// end of the input, as the format's own tool does. Returns the count, 0 at
// the end of the data (fault.trailing_garbage may then be set), or -1 with
// the fault set ("truncated ..." when the input ends inside a member,
// "corrupt ..." when the library refuses the data). Once it has failed, it
// fails at once.
ssize_t decoder_read(decoder& d, char* out, size_t n);

// The input's compressed bytes in order, for a scanner that runs ahead of
// decoding: first those read at open, then from the descriptor, counted.
// Returns the count, 0 at the end, or -1 with errno set.
ssize_t decoder_read_raw(decoder& d, unsigned char* buf, size_t n);

// Goes on in the member loop from `offset` of the file: the start of a
// member, which is begun and whose first `skip` bytes of output are
// dropped (they were given already), or else the boundary after a
// complete member. False with the fault set when the descriptor cannot be
// sought there.
bool decoder_resume_at(decoder& d, uint64_t offset, bool in_member, uint64_t skip);

// The most decoders that were alive at once: one per compressed input
// being read, none for inputs that wait their turn.
size_t decoders_peak(const decoder_stock& stock);

// Frees the states and buffers kept from decoders that have closed, for
// the next ones. Whether there were any.
bool decoders_forget(decoder_stock& stock);

// Marks the decoder failed from outside the loop (a decoding thread's
// buffer could not be had): its next read fails with this errno.
void decoder_fail(decoder& d, int error);
