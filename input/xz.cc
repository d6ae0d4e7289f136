// The formats liblzma reads, a stream or member at a time:
// - xz: streams may be concatenated, with stream padding (zero bytes in
//   fours) between and after them, as xz -dc reads them;
// - .lzma (xz --format=lzma): one stream, and nothing may follow it;
// - lzip: members may be concatenated, and any data that begins no member
//   may follow the last one, which is ignored, as the format asks.
#include <cstdint>
#include <new>

#include "input/format.h"

namespace {

const unsigned char kXzMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0};
const unsigned char kLzipMagic[] = {'L', 'Z', 'I', 'P', 1};  // and version 1

sniff_result xz_sniff(const unsigned char* p, size_t n) {
  return sniff_magic(p, n, kXzMagic, sizeof kXzMagic);
}

sniff_result lzip_sniff(const unsigned char* p, size_t n) {
  return sniff_magic(p, n, kLzipMagic, sizeof kLzipMagic);
}

// .lzma has no magic number; its 13-byte header is the signature, held to
// what encoders write: the properties byte lc=3 lp=0 pb=2 (0x5d), a
// dictionary size of 2^n or 2^n + 2^(n-1) bytes (at least 4 KiB), and a
// content size that is unknown (all ones) or below 2^38 bytes. Byte 1 is
// always zero, which no log line has.
sniff_result lzma_sniff(const unsigned char* p, size_t n) {
  if (n >= 1 && p[0] != 0x5d) return sniff_result::no;
  if (n < 13) {
    return n >= 2 && p[1] != 0 ? sniff_result::no : sniff_result::maybe;
  }
  const uint32_t dict = le32(p + 1);
  const uint32_t top = dict == 0 ? 0 : uint32_t{1} << (31 - __builtin_clz(dict));
  const bool dict_ok = dict >= 4096 && (dict == top || dict == top + top / 2);
  bool unknown = true, small = p[10] == 0 && p[11] == 0 && p[12] == 0 && p[9] < 0x40;
  for (int i = 5; i < 13; ++i) unknown = unknown && p[i] == 0xff;
  return dict_ok && (unknown || small) ? sniff_result::yes : sniff_result::no;
}

}  // namespace

#if defined(BRAIDLOGS_XZ)
#include <lzma.h>

#include "input/xz_blocks.h"

namespace {

struct xz_state {
  lzma_stream s = LZMA_STREAM_INIT;
  bool chosen = false;  // xz: the decoder for this stream has been set up
  // The set's count of decoders on liblzma's threads, and whether this
  // one is counted there: one at a time, so that the threads' memory is
  // had once, not once an input (16 such files took 608 MiB).
  std::atomic<unsigned>* threaded = nullptr;
  bool counted = false;
  bool tracks = false;     // an xz stream, whose blocks are followed
  bool unchecked = false;  // xz: hand out text at once (a first line)
  xz_blocks tracked;
  xz_held held;
};

void let_go(xz_state& s) {
  if (s.counted) s.threaded->fetch_sub(1, std::memory_order_relaxed);
  s.counted = false;
}

void xz_share(void* state, std::atomic<unsigned>* threaded) {
  auto* s = static_cast<xz_state*>(state);
  let_go(*s);
  s->threaded = threaded;
}

// xz streams decode on liblzma's threaded decoder, threads of its own (one
// per usable core) decoding a stream's blocks at once, where the first
// block's header says it holds at least kThreadedBlock bytes of text (as
// xz -T and other parallel encoders write large files); other streams
// (one block, or blocks of unknown size) decode in the calling thread, as
// the threaded decoder would, but without the cost of setting it up for
// every small file of a farm. Without LZMA_FAIL_FAST it gives the same
// bytes before the same error as one thread does.
constexpr uint64_t kThreadedBlock = uint64_t{4} << 20;
// What the threads may hold at once: each its block's text and its
// dictionary (xz -6 -T2 writes blocks of 24 MiB with a dictionary of 8
// MiB: two threads take 111 MiB at their peak); a stream whose blocks
// need more decodes in the calling thread.
constexpr uint64_t kThreadedMemory = uint64_t{128} << 20;
// The stream header, and the first block header's size byte and flags.
constexpr size_t kStreamHeader = 12;

// The first block's size of text, from its header, when the n bytes at p
// hold the stream's start up to the end of that header and it says; else
// 0. (A stream whose first bytes arrive apart decodes in the calling
// thread: the choice changes the speed, never the bytes.)
uint64_t first_block_text(const unsigned char* p, size_t n) {
  if (n < kStreamHeader + 2 || sniff_magic(p, n, kXzMagic, sizeof kXzMagic) != sniff_result::yes)
    return 0;
  const unsigned char* h = p + kStreamHeader;
  if (h[0] == 0 || (h[1] & 0xc0) != 0xc0) return 0;  // no block, or no sizes
  const size_t len = (size_t{h[0]} + 1) * 4;
  if (n < kStreamHeader + len) return 0;
  uint64_t sizes[2] = {0, 0};  // compressed, then text
  size_t at = 2;
  for (uint64_t& v : sizes) {
    for (unsigned shift = 0; at < len && shift < 63; shift += 7) {
      v |= uint64_t{h[at] & 0x7fu} << shift;
      if ((h[at++] & 0x80) == 0) break;
    }
  }
  return sizes[1];
}

// No memory limit: the stream's own dictionary size bounds it. An
// integrity check this build cannot verify is not verified, as xz does.
bool xz_choose(xz_state& s, bool threads) {
  s.chosen = true;
  unsigned none = 0;
  threads = threads && s.threaded != nullptr &&
            s.threaded->compare_exchange_strong(none, 1, std::memory_order_relaxed);
  s.counted = threads;
  if (threads) {
    lzma_mt mt{};
    mt.threads = lzma_cputhreads();
    if (mt.threads == 0) mt.threads = 1;
    mt.memlimit_threading = kThreadedMemory;
    mt.memlimit_stop = UINT64_MAX;
    if (lzma_stream_decoder_mt(&s.s, &mt) == LZMA_OK) return true;
    let_go(s);  // short of memory for threads: one thread, as on one core
  }
  return lzma_stream_decoder(&s.s, UINT64_MAX, 0) == LZMA_OK;
}

bool xz_begin(void* state) {
  auto* s = static_cast<xz_state*>(state);
  let_go(*s);
  s->chosen = false;  // told by the stream's first bytes
  s->tracks = true;
  xz_held_begin(s->tracked, s->held);
  return true;
}

void xz_unchecked(void* state, bool on) { static_cast<xz_state*>(state)->unchecked = on; }

bool lzma_begin(void* state) {
  static_cast<xz_state*>(state)->chosen = true;
  static_cast<xz_state*>(state)->tracks = false;
  return lzma_alone_decoder(&static_cast<xz_state*>(state)->s, UINT64_MAX) == LZMA_OK;
}

bool lzip_begin(void* state) {
  static_cast<xz_state*>(state)->chosen = true;
  static_cast<xz_state*>(state)->tracks = false;
  return lzma_lzip_decoder(&static_cast<xz_state*>(state)->s, UINT64_MAX, 0) == LZMA_OK;
}

member_step xz_call(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len);

member_step xz_step(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<xz_state*>(state);
  if (!s->chosen && !xz_choose(*s, first_block_text(in, in_len) >= kThreadedBlock)) {
    member_step r;
    r.no_memory = true;
    return r;
  }
  if (s->tracks && !s->unchecked)
    return xz_held_step(s->tracked, s->held, xz_call, s, in, in_len, out, out_len);
  return xz_call(s, in, in_len, out, out_len);
}

member_step xz_call(void* state, const unsigned char* in, size_t in_len, char* out,
                    size_t out_len) {
  auto* s = static_cast<xz_state*>(state);
  s->s.next_in = in;
  s->s.avail_in = in_len;
  s->s.next_out = reinterpret_cast<uint8_t*>(out);
  s->s.avail_out = out_len;
  const lzma_ret ret = lzma_code(&s->s, LZMA_RUN);
  member_step r;
  r.used = in_len - s->s.avail_in;
  r.made = out_len - s->s.avail_out;
  r.ended = ret == LZMA_STREAM_END;
  r.no_memory = ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR;
  r.failed = ret != LZMA_OK && ret != LZMA_BUF_ERROR && !r.ended && !r.no_memory;
  if (r.ended || r.failed || r.no_memory) let_go(*s);  // its threads are done
  return r;
}

boundary xz_follows(const unsigned char* p, size_t n, bool eof) {
  if (p[0] == 0) {  // stream padding: zero bytes, four at a time
    if (n < 4 || p[1] != 0 || p[2] != 0 || p[3] != 0) return {boundary_kind::corrupt};
    return {boundary_kind::skip, 4};
  }
  return boundary_by_magic(p, n, eof, kXzMagic, sizeof kXzMagic);
}

boundary lzma_follows(const unsigned char*, size_t, bool) { return {boundary_kind::corrupt}; }

boundary lzip_follows(const unsigned char* p, size_t n, bool) {
  const bool member = n >= 4 && p[0] == 'L' && p[1] == 'Z' && p[2] == 'I' && p[3] == 'P';
  return {member ? boundary_kind::member : boundary_kind::ignore_rest};
}

void* xz_make() {
  auto* s = new (std::nothrow) xz_state;
  return s;
}

void xz_free(void* state) {
  auto* s = static_cast<xz_state*>(state);
  let_go(*s);
  lzma_end(&s->s);
  delete s;
}

const format_ops kXz = {.make = xz_make,
                        .free = xz_free,
                        .begin = xz_begin,
                        .step = xz_step,
                        .follows = xz_follows,
                        .share_threads = xz_share,
                        .unchecked = xz_unchecked};
const format_ops kLzma = {xz_make, xz_free, lzma_begin, xz_step, lzma_follows};
const format_ops kLzip = {.make = xz_make, .free = xz_free, .begin = lzip_begin, .step = xz_step,
                          .follows = lzip_follows, .hold_members = true};

}  // namespace

extern const input_format xz_format = {BRAIDLOGS_FORMAT_TEXTS("xz"), xz_sniff, &kXz};
extern const input_format lzma_format = {BRAIDLOGS_FORMAT_TEXTS("lzma"), lzma_sniff, &kLzma};
extern const input_format lzip_format = {BRAIDLOGS_FORMAT_TEXTS("lzip"), lzip_sniff, &kLzip};
#else
extern const input_format xz_format = {BRAIDLOGS_FORMAT_TEXTS("xz"), xz_sniff, nullptr};
extern const input_format lzma_format = {BRAIDLOGS_FORMAT_TEXTS("lzma"), lzma_sniff, nullptr};
extern const input_format lzip_format = {BRAIDLOGS_FORMAT_TEXTS("lzip"), lzip_sniff, nullptr};
#endif
