#include "VisibleText.h"

#include "UTF8.h"
#include "UnicodeText.h"

#include <fmt/format.h>
#include <unicode/utf8.h>

namespace torvex {

namespace {

// ASCII's invisible characters are its controls, told without loading ICU.
bool isInvisible(UChar32 c) {
    if (c < 0x80) return c < 0x20 || c == 0x7F;
    return isInvisibleCharacter(static_cast<char32_t>(c));
}

std::string visible(std::string_view bytes, bool keepLines) {
    const std::string text = repairedUTF8(bytes);
    std::string result;
    result.reserve(text.size());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t offset = 0; offset < length;) {
        const int32_t start = offset;
        UChar32 c = 0;
        U8_NEXT(text.data(), offset, length, c);
        const bool kept = keepLines && (c == '\n' || c == '\t');
        if (!kept && isInvisible(c)) {
            result += c > 0xFFFF ? fmt::format("\\U{:08X}", static_cast<std::uint32_t>(c))
                                 : fmt::format("\\u{:04X}", static_cast<std::uint32_t>(c));
        } else {
            result.append(text, static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start));
        }
    }
    return result;
}

} // namespace

std::string visibleText(std::string_view text) { return visible(text, false); }

std::string visibleLines(std::string_view text) { return visible(text, true); }

} // namespace torvex
