#pragma once

#include <string>
#include <string_view>

namespace torvex {

// Whether `bytes` are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view bytes);

// Appends `bytes` to `out` with every ill-formed sequence replaced by U+FFFD, one replacement per
// maximal subpart of a well-formed sequence.
void appendRepairedUTF8(std::string& out, std::string_view bytes);
// `bytes` repaired as appendRepairedUTF8 does.
std::string repairedUTF8(std::string_view bytes);

} // namespace torvex
