#include "UnicodeText.h"

#include "Platform/LibICU.h"
#include "UTF8.h"

#include <unicode/utf16.h>

#include <memory>
#include <stdexcept>

namespace torvex {

namespace {

std::runtime_error icuError(UErrorCode status) {
    return std::runtime_error("ICU failed with error " + std::to_string(static_cast<int>(status)));
}

// Runs an ICU call that fills a buffer twice: once to learn the length, once to fill.
template <class Char, class Call>
std::basic_string<Char> filled(Call call) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    call(nullptr, 0, &length, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) throw icuError(status);
    std::basic_string<Char> result(static_cast<std::size_t>(length), Char{});
    status = U_ZERO_ERROR;
    call(result.data(), length, &length, &status);
    if (U_FAILURE(status)) throw icuError(status);
    return result;
}

std::u16string utf16(std::string_view utf8) {
    const std::string text = repairedUTF8(utf8);
    return filled<char16_t>([&](UChar* out, int32_t capacity, int32_t* length, UErrorCode* status) {
        libICU().strFromUTF8(out, capacity, length, text.data(), static_cast<int32_t>(text.size()), status);
    });
}

std::string utf8(std::u16string_view text) {
    return filled<char>([&](char* out, int32_t capacity, int32_t* length, UErrorCode* status) {
        libICU().strToUTF8(out, capacity, length, text.data(), static_cast<int32_t>(text.size()), status);
    });
}

int8_t category(char32_t c) { return libICU().charType(static_cast<UChar32>(c)); }

} // namespace

std::string lowercased(std::string_view text) {
    const std::u16string source = utf16(text);
    const std::u16string lower = filled<char16_t>([&](UChar* out, int32_t capacity, int32_t* length, UErrorCode* status) {
        *length = libICU().strToLower(out, capacity, source.data(), static_cast<int32_t>(source.size()), "", status);
    });
    return utf8(lower);
}

std::vector<UserPerceivedCharacter> userPerceivedCharacters(std::string_view text) {
    const std::u16string source = utf16(text);
    const LibICU& icu = libICU();
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UBreakIterator, decltype(icu.breakClose)> characters(
        icu.breakOpen(UBRK_CHARACTER, "", source.data(), static_cast<int32_t>(source.size()), &status), icu.breakClose);
    if (U_FAILURE(status)) throw icuError(status);
    std::vector<UserPerceivedCharacter> result;
    for (int32_t start = icu.breakFirst(characters.get()), end = icu.breakNext(characters.get()); end != UBRK_DONE;
         start = end, end = icu.breakNext(characters.get())) {
        UChar32 first = 0;
        U16_GET(source.data(), 0, start, static_cast<int32_t>(source.size()), first);
        result.push_back({utf8(std::u16string_view(source).substr(static_cast<std::size_t>(start),
                                                                  static_cast<std::size_t>(end - start))),
                          static_cast<char32_t>(first)});
    }
    return result;
}

bool isLetterOrNumber(char32_t c) {
    switch (category(c)) {
    case U_UPPERCASE_LETTER:
    case U_LOWERCASE_LETTER:
    case U_TITLECASE_LETTER:
    case U_MODIFIER_LETTER:
    case U_OTHER_LETTER:
    case U_DECIMAL_DIGIT_NUMBER:
    case U_LETTER_NUMBER:
    case U_OTHER_NUMBER:
        return true;
    default:
        return false;
    }
}

bool isInvisibleCharacter(char32_t c) {
    const auto type = category(c);
    return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

} // namespace torvex
