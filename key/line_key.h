// Key stage: the sort key of one access-log line.
//
// Owns reading the Common Log Format date at a line's first '[' and the
// month-name lookup. Pure computation on a span of bytes: nothing here
// allocates, reads a file, keeps state or writes into the line.
#pragma once

#include <cstdint>
#include <string_view>

// Key of a line without a usable date zone. It is also the key of
// 00/Jan/1990:00:00:00 (31 December 1989, midnight).
inline constexpr int64_t kNoDateKey = 0;

// Returns the line's date and time in seconds, read from the Common Log
// Format date zone "[dd/Mon/yyyy:hh:mm:ss" that starts at the line's first
// '['. The zone offset after the clock time is ignored: the clock time is
// taken as written.
//
// The key is (days from 1 January 1990 to the first day of the line's month,
// on the proleptic Gregorian calendar, plus the day field) * 86400
// + hour * 3600 + minute * 60 + second. Fields sit at fixed offsets from the
// bracket and are read like atoi on the field alone (leading white space, an
// optional sign, then digits); no range is checked, so day 0 is the last day
// of the month before and day 45 runs on into the next month.
//
// Returns kNoDateKey when the line has no '[', when fewer than 21 bytes follow
// it (the newline that ends the line counted, even when the span lacks it,
// so a line keys alike with and without its newline), or when the month is
// not one of "Jan" ... "Dec". Every byte, NUL included, is an ordinary byte.
// The line is only read.
int64_t line_key(std::string_view line);

// What line_key keeps from the last date it read in one input: the bytes
// "dd/Mon/yyyy" and their day count. Consecutive lines of a log nearly
// always share them, and then only the time of day is read.
struct key_memo {
  uint64_t head = 0;
  uint32_t tail = 0;
  int64_t days = 0;
  bool valid = false;
};

// The same key as line_key(line), always; faster when `memo` (kept for one
// input, zero-initialised) holds the date of the line before.
int64_t line_key(std::string_view line, key_memo& memo);
