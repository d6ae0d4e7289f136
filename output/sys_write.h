// The write call behind a seam that tests can replace to inject failures,
// short writes and interrupted calls.
#pragma once

#include <sys/types.h>

#include <cstddef>

using sys_write_fn = ssize_t (*)(int fd, const void* buf, size_t n);

// Every write of merged data goes through this. It is ::write unless a test
// has swapped it.
extern sys_write_fn sys_write;

// Writes all n bytes, completing short writes and retrying interrupted
// calls. Returns 0, or the errno of the write that failed.
int write_fully(int fd, const char* buf, size_t n);
