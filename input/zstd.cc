// zstd, with libzstd, a frame at a time. Skippable frames (as pzstd writes
// before its data) are passed over wherever they stand; frames written with
// --long up to --long=31 (a 2 GiB window) are read, as zstd -d --long=31
// reads them.
//
// A frame's checksum is checked here, with xxHash, not by libzstd: libzstd
// fails the call that finds a mismatch without saying how much of the
// frame that call had already written out, so how many lines came out
// before the error would depend on how much the caller asked for at a time
// (and differ between decoding ahead and decoding in the merge). Checked
// here, the whole frame always goes out first, then the error.
#include <cstdint>
#include <new>

#include "input/format.h"
#include "input/member_pieces.h"

namespace {

// A frame, or one of the sixteen skippable frames 0x184D2A50 to 0x184D2A5F
// (little-endian; pzstd writes one before its frames), whose first byte's
// low four bits are free.
const unsigned char kFrame[] = {0x28, 0xb5, 0x2f, 0xfd};
const unsigned char kSkippable[] = {0x50, 0x2a, 0x4d, 0x18};

sniff_result zs_sniff(const unsigned char* p, size_t n) {
  const sniff_result frame = sniff_magic(p, n, kFrame, sizeof kFrame);
  if (frame != sniff_result::no || n == 0 || (p[0] & 0xf0) != kSkippable[0]) return frame;
  return sniff_magic(p + 1, n - 1, kSkippable + 1, sizeof kSkippable - 1);
}

}  // namespace

#if defined(BRAIDLOGS_ZSTD)
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_forceIgnoreChecksum
#define XXH_INLINE_ALL            // xxHash from its header alone
#include <xxhash.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>

namespace {

// The largest window zstd -d accepts when told --long=31.
constexpr int kWindowLogMax = 31;

struct zs_state {
  ZSTD_DStream* ds;
  XXH64_state_t* hash;   // of the frame's content so far
  unsigned char head[5]; // the frame's magic and header descriptor ...
  size_t seen;           // ... of which this many bytes have been read
  unsigned char last[4]; // the last 4 bytes read: at the end, the checksum
  // What libzstd asked for last: the rest of what it is reading (a header,
  // a block) and, while it reads a block, the next block's header.
  size_t hint;
  bool full;  // the last call filled its output: libzstd may hold more
};

bool zs_begin(void* state) {
  auto* s = static_cast<zs_state*>(state);
  s->seen = 0;
  s->hint = ZSTD_FRAMEHEADERSIZE_PREFIX(ZSTD_f_zstd1);
  s->full = false;
  return !ZSTD_isError(ZSTD_DCtx_reset(s->ds, ZSTD_reset_session_only)) &&
         XXH64_reset(s->hash, 0) == XXH_OK;
}

// Notes the frame's first bytes and keeps its last four.
void note_input(zs_state& s, const unsigned char* in, size_t n) {
  for (size_t i = 0; i < n && s.seen < sizeof s.head; ++i) s.head[s.seen++] = in[i];
  if (n >= 4) {
    std::memcpy(s.last, in + n - 4, 4);
  } else if (n > 0) {
    std::memmove(s.last, s.last + n, 4 - n);
    std::memcpy(s.last + 4 - n, in, n);
  }
}

// True when the complete frame is a data frame whose header asks for a
// checksum and the checksum read does not match its content.
bool checksum_fails(zs_state& s) {
  const bool skippable = (s.head[0] & 0xf0) == 0x50;
  const bool has_checksum = s.seen == sizeof s.head && (s.head[4] & 0x04) != 0;
  if (skippable || !has_checksum) return false;
  const auto want = static_cast<uint32_t>(XXH64_digest(s.hash));
  return want != le32(s.last);
}

member_step zs_call(zs_state* s, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  ZSTD_inBuffer ib = {in, in_len, 0};
  ZSTD_outBuffer ob = {out, out_len, 0};
  const size_t ret = ZSTD_decompressStream(s->ds, &ob, &ib);
  member_step r;
  r.used = ib.pos;
  r.made = ob.pos;
  s->full = ob.pos == out_len;
  note_input(*s, in, ib.pos);
  XXH64_update(s->hash, out, ob.pos);
  if (ZSTD_isError(ret)) {
    const ZSTD_ErrorCode code = ZSTD_getErrorCode(ret);
    r.no_memory = code == ZSTD_error_memory_allocation;
    r.failed = !r.no_memory;
    if (code == ZSTD_error_frameParameter_windowTooLarge)
      r.problem = "zstd data needs a window larger than 2 GiB";
    if (code == ZSTD_error_dictionary_wrong) r.problem = "zstd data needs a dictionary";
    return r;
  }
  if (ret == 0) {  // the frame is complete and wholly flushed
    r.failed = checksum_fails(*s);
    r.ended = !r.failed;
  } else {
    s->hint = ret;
  }
  return r;
}

// A call that fails reports nothing it wrote, so no call may both give
// sound output and fail: output libzstd may hold (the last call filled its
// output) goes out first, with no input; then at most one block is offered: what libzstd asks for, less
// the 3 bytes of the next block's header that it asks for with a block.
// (Where it asked for no header, as for a frame header or the last block,
// the 3 bytes come in the next call.) The output before damage then ends
// at the same block however the bytes arrive.
member_step zs_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<zs_state*>(state);
  if (s->full) {
    const member_step held = zs_call(s, in, 0, out, out_len);
    if (held.made > 0 || held.ended || held.failed || held.no_memory) return held;
  }
  constexpr size_t kBlockHeader = 3;
  const size_t feed = s->hint > kBlockHeader ? s->hint - kBlockHeader : s->hint;
  return zs_call(s, in, in_len < feed ? in_len : feed, out, out_len);
}

// A frame or a skippable frame follows; a true start of one's magic (at
// the end of the input, since the loop offers enough bytes otherwise) is a
// frame cut off; anything else is trailing garbage.
boundary zs_follows(const unsigned char* p, size_t n, bool) {
  switch (zs_sniff(p, n)) {
    case sniff_result::no: return {boundary_kind::garbage};
    case sniff_result::maybe: return {boundary_kind::truncated};
    case sniff_result::yes: break;
  }
  return {boundary_kind::member};
}

void zs_free(void* state) {
  auto* s = static_cast<zs_state*>(state);
  ZSTD_freeDStream(s->ds);
  XXH64_freeState(s->hash);
  delete s;
}

void* zs_make() {
  auto* s = new (std::nothrow) zs_state{};
  if (s == nullptr) return nullptr;
  s->ds = ZSTD_createDStream();
  s->hash = XXH64_createState();
  if (s->ds == nullptr || s->hash == nullptr ||
      ZSTD_isError(ZSTD_DCtx_setParameter(s->ds, ZSTD_d_windowLogMax, kWindowLogMax)) ||
      ZSTD_isError(ZSTD_DCtx_setParameter(s->ds, ZSTD_d_forceIgnoreChecksum,
                                          ZSTD_d_ignoreChecksum))) {
    zs_free(s);
    return nullptr;
  }
  return s;
}

// Pieces: frames, as rotations are concatenated and small files written
// in several, found from their headers without decoding, skippable frames
// among them. A frame whose window is larger than this (--long: every
// thread would hold one), or anything else, goes to the member loop; so
// does a large one (kLargestMember).
constexpr uint64_t kLargestWindow = uint64_t{32} << 20;

member_size frame_size(const unsigned char* q, uint64_t have) {
  if (have < 8) return {member_size::more};
  // A skippable frame is decoded, as the member loop does, to nothing.
  if (const uint64_t skip = skippable_frame_size(q)) return {member_size::known, skip};
  if (le32(q) != 0xfd2fb528) return {};
  ZSTD_frameHeader h;
  const size_t head = ZSTD_getFrameHeader(&h, q, have);
  if (head > 0 && !ZSTD_isError(head)) return {member_size::more};
  if (ZSTD_isError(head) || h.windowSize > kLargestWindow) return {};
  const size_t found = ZSTD_findFrameCompressedSize(q, have);
  if (!ZSTD_isError(found)) return {member_size::known, found};
  if (ZSTD_getErrorCode(found) != ZSTD_error_srcSize_wrong) return {};
  return {member_size::more};
}

extern const format_ops kOps;
const piece_ops kPieces = member_pieces<frame_size, &kOps>();

const format_ops kOps = {.make = zs_make, .free = zs_free, .begin = zs_begin, .step = zs_step,
                         .follows = zs_follows, .pieces = &kPieces, .hold_members = true};

}  // namespace

extern const input_format zstd_format = {BRAIDLOGS_FORMAT_TEXTS("zstd"), zs_sniff, &kOps};
#else
extern const input_format zstd_format = {BRAIDLOGS_FORMAT_TEXTS("zstd"), zs_sniff, nullptr};
#endif
