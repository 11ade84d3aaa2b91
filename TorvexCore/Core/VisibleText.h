#pragma once

#include <string>
#include <string_view>

namespace torvex {

// `text` safe to print on a terminal: every control character (C0, DEL, C1), line or paragraph
// separator and invisible format character (bidirectional overrides such as U+202E among them) is
// written as "\u" and its four (or "\U" and eight) hexadecimal digits; invalid UTF-8 is repaired.
// Everything else stays as it is.
std::string visibleText(std::string_view text);

// visibleText, but line feeds and tabs stay as they are: for text made of lines, such as an
// error's cause.
std::string visibleLines(std::string_view text);

} // namespace torvex
