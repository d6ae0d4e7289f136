// Compresses test data in memory with the same libraries a user's tools use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "input/format.h"

// The input stage's compressed formats that this build reads (and so the
// tests can make), by name, in the stage's own order.
std::vector<std::string> compressed_formats();

// True when this build reads the format named (and so the tests can make it).
bool can_compress(std::string_view name);

// The data as one gzip member, bzip2 stream, xz or lzma stream, zstd or lz4
// frame, at fast settings (the tests and fuzz targets make a great deal of
// it). lzip cannot be made here: liblzma has no lzip encoder.
std::string compress(std::string_view name, std::string_view data);

// One gzip member whose header carries every optional field: an extra
// field, a file name, a comment and the header CRC. Empty when this build
// has no gzip.
std::string gzip_with_all_header_fields(std::string_view data);

// One zstd frame that asks for a window of 2^window_log bytes, whatever its
// size, as zstd --long writes from a pipe. Empty when this build has no zstd.
std::string zstd_with_window(std::string_view data, int window_log);

// One lz4 frame of blocks of up to 4 MiB, as the lz4 command writes by
// default. Empty when this build has no lz4.
std::string lz4_with_large_blocks(std::string_view data);

// BGZF, as bgzip writes it: gzip members of at most 64 KiB that say their
// size in an extra field, and an empty member at the end. Empty when this
// build has no gzip.
std::string bgzf(std::string_view data);

// An xz stream of blocks of `block` bytes of text that say their sizes, as
// xz -T writes it. Empty when this build has no xz.
std::string xz_with_blocks(std::string_view data, size_t block);

// Where each block of a one-stream xz file begins, from its index.
std::vector<size_t> xz_block_starts(std::string_view z);
