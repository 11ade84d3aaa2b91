#pragma once

#include <string>
#include <string_view>

namespace torvex {

// SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

} // namespace torvex
