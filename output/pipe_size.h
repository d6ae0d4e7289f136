// Widening the pipe that standard output writes into.
#pragma once

// When fd is a pipe and the system lets a process size its pipes (Linux's
// F_SETPIPE_SZ), widens it to `bytes` unless it is wider already. A wide
// pipe lets each write hand over more at once, so writer and reader switch
// places far less often: on Linux a 1 MiB pipe moves a merged log several
// times faster than the default 64 KiB one. Does nothing elsewhere, and
// nothing when the system refuses; the output is the same either way.
void widen_pipe(int fd, int bytes);
