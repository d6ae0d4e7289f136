// Input stage: turns a path into a series of whole lines.
//
// Owns opening a path, reading it in large blocks, recognising a compressed
// format by its first bytes, decoding it (ahead, on a pool of threads, for
// compressed regular files), and cutting the bytes into lines (spans into
// the input's own buffer). Everything here reports failure as a status,
// with an errno or a fixed text kept on the input; nothing here prints,
// exits, knows the key of a line or the order of the merge.
//
// This header is the stage's one door: other folders include nothing else
// from input/.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "input/decode_plan.h"
#include "input/input_record.h"
#include "input/source.h"

// What the stages above read of an input: its fields are the line
// reader's own. (Inline: the merge asks at every line.)
//
// `line` holds a line not yet written, or the input waits with one.
inline bool input_active(const log_input& in) { return in.phase != input_phase::ended; }
// The current line, with its newline if it has one.
inline std::string_view input_line(const log_input& in) { return in.line; }
// It waits its turn with its first line (input_wait_turn).
inline bool input_waiting(const log_input& in) { return in.phase == input_phase::waiting; }
// As named on the command line, for messages.
inline const char* input_path(const log_input& in) { return in.path; }
// The set it was opened in (null: none).
inline input_set* input_set_of(const log_input& in) { return in.set; }

// Begins a set of n inputs: prepares the decoding threads for them, as the
// plan says; every read of them goes through `reads`. Returns null when
// out of memory. inputs_end() stops the threads and frees the set; every
// input must be released first. (An input opened with no set reads
// through the system's read.)
input_set* inputs_begin(size_t n, const decode_plan& plan = {}, const read_seam& reads = {});
void inputs_end(input_set* set);

// Opens the input, one of `set` (null: decoded in the calling thread), and
// allocates its buffer: `block` bytes (at least kSniffBytes), or about the
// file's size for a smaller regular file. Returns false with the error
// text set (ENOMEM when the buffer cannot be had).
bool input_open(log_input& in, const char* path, input_set* set,
                size_t block = kInputBlockSize);

// The same for an open descriptor (standard input), named `name` in
// messages; the input reads a duplicate of it.
bool input_open_fd(log_input& in, int fd, const char* name, input_set* set,
                   size_t block = kInputBlockSize);

// Starts reading an opened input's first line without waiting for it: a
// compressed regular file's first block decodes on the pool meanwhile, so
// that start-up reads as many first lines at once as inputs_at_once()
// says. Anything else is read by input_next as usual. A failure here is
// told by that input_next. The first line may come unconfirmed (see
// input_unconfirmed): the input then waits its turn (input_wait_turn)
// before it is read on, as start-up does with every input.
void input_start(log_input& in);
size_t inputs_at_once(const input_set* set);

// Moves to the next line: `line` is set, or the input is dry. On
// anything but ok and would_block, the input has ended and the stream is
// closed.
input_status input_next(log_input& in, input_wait wait = input_wait::allowed);

// After would_block: waits up to ms milliseconds for the input to have
// bytes to read (or its end). False when none came.
bool input_ready_within(const log_input& in, int ms);

// Hands out, a piece at a time, every byte that follows the current line,
// exactly as read, in pieces of whole lines (up to the last newline in the
// buffer); only the very last piece may end without a newline. For an input
// that no longer needs merging: no line is split out or keyed. Returns ok
// with `piece` set, dry at the end, failed, or would_block as above.
input_status input_next_piece(log_input& in, std::string_view* piece,
                              input_wait wait = input_wait::allowed);

// The same, but the piece stays valid, whatever the input reads next,
// until the caller frees *owner (with std::free): the buffer that holds it
// is handed over, and the input reads on into a new one. For a merge that
// reads pieces on other threads. When no new buffer can be had, the input
// fails (ENOMEM) before handing out the piece.
input_status input_take_piece(log_input& in, std::string_view* piece, char** owner,
                              input_wait wait = input_wait::allowed);

// From now on the input reads (and hands over) buffers of `block` bytes
// (at least kSmallestBlock) rather than the size it was opened with.
void input_set_block(log_input& in, size_t block);

// Work the merge hands to the set's threads: fn(arg) run once on any of
// them, ahead of decoding not yet begun. False when the set has no
// threads or no room for it now: the caller runs it itself. The caller
// waits for its own tasks before it ends the set.
bool inputs_post(input_set* set, void (*fn)(void* arg), void* arg);
// The set's threads (0: none, everything runs on the merge thread).
unsigned inputs_threads(const input_set* set);

// Lets an input that has just read its first line wait its turn: when it
// is a regular file that its buffer does not hold whole, or compressed, it
// keeps a copy of that line (short of memory, its buffer becomes the copy)
// and its descriptor, and frees its buffer, its
// decoder and its place in the decoding pool. When the merge first asks
// for its next line, it reads the file again from the start, decoding
// ahead where it is compressed. A rotated log whose days have not come yet
// so costs a descriptor and a line. The file must then still begin with
// that line and be no shorter than what was read of it: otherwise it was
// changed while it waited (copytruncate), and it ends with "file
// truncated", never splicing new bytes to the line it held.
void input_wait_turn(log_input& in);

// Whether the input's line is its first, read at start-up before the
// compressed block that holds it had passed its check (bzip2, whose
// library checks a block only once all of it is decoded: a first line so
// costs a fraction of a block). Such a line must not be written before
// input_confirm has read it again, checked, in the input's turn.
inline bool input_unconfirmed(const log_input& in) { return in.stream.unchecked; }

// Reads an unconfirmed input again from its start, checked, past its held
// line, which stays the current line. False when that fails: its block is
// damaged (or the file changed, "file truncated"): the input has then
// ended, with input_error_text saying why, and its line must not be
// written.
bool input_confirm(log_input& in);

// Tells the stage in which order the merge expects to need the inputs
// that wait their turn (by their first lines), so that compressed ones can
// start decoding ahead of their turn, as the pool has room: while the
// merge reads one day of a farm's logs, the next day's are being decoded.
// The array must outlive the merge; (nullptr, 0) forgets it.
void inputs_expect_turns(input_set* set, log_input* const* order, size_t n);

// Closes the stream and frees the buffer. (An input that runs dry or fails
// has done so already.)
void input_release(log_input& in);

// True when the input failed for want of memory, which reading it alone,
// with nothing else held, may not lack.
bool input_out_of_memory(const log_input& in);
// Frees the decoder states kept from closed decoders for the next ones.
void inputs_free_spare(input_set* set);

// Why the input failed to open or to read, for messages.
const char* input_error_text(const log_input& in);

// True when the input was read to its end and its compressed data ended
// at bytes that begin no member: everything before them was merged.
bool input_trailing_garbage(const log_input& in);

// True when the input, still open, is the file with this device and inode.
bool input_is_file(const log_input& in, dev_t dev, ino_t ino);

// For progress: the input's size when it is a regular file (0 otherwise),
// and how far into it the lines handed out so far reach (compressed bytes
// for compressed data, not counting what decoding threads read ahead);
// safe while they run.
uint64_t input_size(const log_input& in);
uint64_t input_bytes_read(const log_input& in);
// Whether its data is compressed (known once its first bytes are read),
// and the bytes of text read so far since it was last read from its
// start: with the two above, how much text a compressed file holds can be
// estimated.
bool input_compressed(const log_input& in);
uint64_t input_text_read(const log_input& in);
