#include "input/member_loop.h"

#include "input/format_ops.h"

ssize_t read_members(decoder& d, member_reader& r, const member_codec& codec, char* out,
                     size_t n) {
  raw_input& raw = d.raw;
  for (;;) {
    if (!decoder_fill(d)) return -1;
    // Only at the end of the input is nothing left to read. A member cut
    // short may still have output held in the library: take that first.
    const bool at_end = raw.pos == raw.end;
    if (at_end && !r.in_member) return 0;
    if (!r.in_member) {
      if (!codec.begin(d.state)) {
        d.problem = corrupt_text(d.kind);
        return -1;
      }
      r.in_member = true;
    }
    const member_step s = codec.step(d.state, raw.buf + raw.pos, raw.end - raw.pos, out, n);
    raw.pos += s.used;
    if (s.failed) {
      d.problem = corrupt_text(d.kind);
      return -1;
    }
    if (s.ended) r.in_member = false;
    if (s.made > 0) return static_cast<ssize_t>(s.made);
    if (at_end && r.in_member) {
      d.problem = truncated_text(d.kind);
      return -1;
    }
    if (s.used == 0 && r.in_member && raw.pos < raw.end) {
      // No progress with input at hand: the data cannot be decoded.
      d.problem = corrupt_text(d.kind);
      return -1;
    }
  }
}
