#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// Unicode text operations with the root locale's rules. Ill-formed UTF-8 is read as U+FFFD. Each
// throws std::runtime_error when ICU cannot be loaded.

// `utf8` with full lower-case mapping ("İ" becomes "i̇", "ẞ" "ß").
std::string lowercased(std::string_view utf8);

// One user-perceived character (an extended grapheme cluster): its UTF-8 bytes and its first code
// point.
struct UserPerceivedCharacter {
    std::string text;
    char32_t first;
};

// The user-perceived characters of `utf8`, in order.
std::vector<UserPerceivedCharacter> userPerceivedCharacters(std::string_view utf8);

// Whether the code point is a letter or a number of any kind.
bool isLetterOrNumber(char32_t c);

// Whether the code point is a control or format character, or a line or paragraph separator:
// one that a terminal would act on or not show.
bool isInvisibleCharacter(char32_t c);

} // namespace torvex
