#include "JSONText.h"

namespace torvex {

std::string withEscapedSlashes(std::string_view compactJSON) {
    std::string text;
    text.reserve(compactJSON.size());
    for (const char c : compactJSON) {
        if (c == '/') text += '\\';
        text += c;
    }
    return text;
}

} // namespace torvex
