// Month-name lookup for Common Log Format dates.
#pragma once

// Returns the month number (Jan 0 ... Dec 11) of the three bytes at `name`,
// or -1 when they are not exactly one of the twelve English abbreviations
// ("Jan" to "Dec", upper-case first letter, lower-case rest). Reads exactly
// three bytes.
int month_lookup(const char* name);
