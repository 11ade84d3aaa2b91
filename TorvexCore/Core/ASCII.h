#pragma once

// Header only: torvex-cc, which links nothing of Core but the UTF-8 check, calls it too.

#include <string>
#include <string_view>

namespace torvex {

// `text` with ASCII letters lowercased, the way Windows compares file names; other bytes as they are.
inline std::string lowercasedASCII(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

} // namespace torvex
