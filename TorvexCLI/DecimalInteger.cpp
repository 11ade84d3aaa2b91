#include "DecimalInteger.h"

#include <algorithm>
#include <charconv>

namespace torvex::cli {

std::optional<std::int64_t> decimalInteger(std::string_view text, std::int64_t lowest, std::int64_t highest) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;

    constexpr std::uint64_t largest = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    if (!negative) {
        if (magnitude > largest) return std::nullopt;
        value = static_cast<std::int64_t>(magnitude);
    } else {
        if (magnitude > largest + 1) return std::nullopt;
        value = magnitude == largest + 1 ? std::numeric_limits<std::int64_t>::min()
                                         : -static_cast<std::int64_t>(magnitude);
    }
    if (value < lowest || value > highest) return std::nullopt;
    return value;
}

} // namespace torvex::cli
