// Writing all of a buffer through the write seam. Internal to output/.
#pragma once

#include <cstddef>

#include "output/output.h"

// Writes all n bytes, completing short writes and retrying interrupted
// calls. Returns 0, or the errno of the write that failed.
int write_fully(const write_seam& via, int fd, const char* buf, size_t n);
