// Compresses test data in memory with the same libraries a user's tools use.
#pragma once

#include <string>
#include <string_view>

#include "input/decoder.h"

// True when this build reads format c (and so the tests can make it).
bool can_compress(compression c);

// The data as one gzip member, bzip2 stream, xz stream or zstd frame, at
// fast settings (the tests and fuzz targets make a great deal of it).
std::string compress(compression c, std::string_view data);

// One gzip member whose header carries every optional field: an extra
// field, a file name, a comment and the header CRC. Empty when this build
// has no gzip.
std::string gzip_with_all_header_fields(std::string_view data);
