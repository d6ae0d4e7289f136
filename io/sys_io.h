// The system calls that move bytes, behind seams that tests can replace to
// inject failures, short transfers and interrupted calls.
#pragma once

#include <sys/types.h>

#include <cstddef>

using sys_read_fn = ssize_t (*)(int fd, void* buf, size_t n);
using sys_write_fn = ssize_t (*)(int fd, const void* buf, size_t n);

// Every read and write of log data goes through these. They are ::read and
// ::write unless a test has swapped them.
extern sys_read_fn sys_read;
extern sys_write_fn sys_write;

// Reads up to n bytes, retrying calls interrupted by a signal. Returns the
// byte count, 0 at end of file, or -1 with errno set.
ssize_t read_retrying(int fd, void* buf, size_t n);

// Writes all n bytes, completing short writes and retrying interrupted
// calls. Returns 0, or the errno of the write that failed.
int write_fully(int fd, const char* buf, size_t n);
