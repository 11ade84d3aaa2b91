#include "VisibleText.h"

#include "UTF8.h"

#include <fmt/format.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace torvex {

std::string visibleText(std::string_view bytes) {
    const std::string text = repairedUTF8(bytes);
    std::string result;
    result.reserve(text.size());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t offset = 0; offset < length;) {
        const int32_t start = offset;
        UChar32 c = 0;
        U8_NEXT(text.data(), offset, length, c);
        const auto type = u_charType(c);
        if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR || type == U_LINE_SEPARATOR ||
            type == U_PARAGRAPH_SEPARATOR) {
            result += c > 0xFFFF ? fmt::format("\\U{:08X}", static_cast<std::uint32_t>(c))
                                 : fmt::format("\\u{:04X}", static_cast<std::uint32_t>(c));
        } else {
            result.append(text, static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start));
        }
    }
    return result;
}

} // namespace torvex
