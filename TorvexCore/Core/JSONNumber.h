#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace torvex {

// The value of a JSON number read into a signed 64-bit field: an integer, or a float holding a
// whole number (96.0 reads as 96), within 64 bits. None for anything else, 96.5 and "96" included.
// Works for nlohmann::json and nlohmann::ordered_json alike.
template <class Json>
std::optional<std::int64_t> wholeNumber(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.template get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.template get<std::int64_t>();
    if (value.is_number_float()) {
        const double number = value.template get<double>();
        // 2^63 itself is out of range; every double below it converts exactly.
        if (std::trunc(number) == number && number >= -9223372036854775808.0 && number < 9223372036854775808.0)
            return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

} // namespace torvex
