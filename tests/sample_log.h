// Access-log lines for the tests, in Common Log Format.
#pragma once

#include <string>

// One line dated `when` ("dd/Mon/yyyy:hh:mm:ss"), asking for /what.
std::string clf_line(const std::string& when, const std::string& what);

// One line from host 10.0.0.`host`, `second` seconds after midnight on
// 4 April 2024 (wrapping after a day), asking for /what.
std::string clf_at(int second, const std::string& what, int host = 1);

// `lines` lines from host `host`, the i-th at second 3i + host, so that the
// logs of different hosts interleave.
std::string sample_log(int lines, int host = 1);

// `lines` lines a second apart on 1 June 2021, from hosts and for pages
// drawn from `seed`, so that the text compresses like a real log.
std::string varied_log(int lines, unsigned seed);
