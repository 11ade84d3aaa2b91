#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace torvex::cli {

// The integer that `text` writes in decimal: an optional "+" or "-", then one or more digits 0-9
// and nothing else (no spaces, no other base: "08080" is 8080). None when it does not read or
// lies outside lowest...highest.
std::optional<std::int64_t> decimalInteger(std::string_view text,
                                           std::int64_t lowest = std::numeric_limits<std::int64_t>::min(),
                                           std::int64_t highest = std::numeric_limits<std::int64_t>::max());

} // namespace torvex::cli
