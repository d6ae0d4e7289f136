// The merge as it is defined, written the slow, obvious way, for tests to
// compare against: at every step take the current line with the smallest
// key, on a tie the one from the input named first; a last line without a
// newline gets one.
#pragma once

#include <string>
#include <vector>

std::string reference_merge_lines(const std::vector<std::vector<std::string>>& inputs);

// The same over whole input texts, split into lines after each newline.
std::string reference_merge(const std::vector<std::string>& texts);
