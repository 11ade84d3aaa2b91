#pragma once

#include <string>
#include <string_view>

namespace torvex {

// Compact JSON text with every "/" written as "\/", JSON's optional escape, as the platform's
// default JSON encoder writes it. In such text a "/" only ever stands inside a string.
std::string withEscapedSlashes(std::string_view compactJSON);

} // namespace torvex
