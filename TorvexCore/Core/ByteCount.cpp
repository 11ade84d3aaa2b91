#include "ByteCount.h"

#include <fmt/format.h>

#include <array>
#include <cmath>

namespace torvex {
namespace {

struct Unit {
    const char* name;
    int decimals;
};

constexpr std::array<Unit, 6> units{{{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};

std::string withoutTrailingZeros(std::string number) {
    if (number.find('.') == std::string::npos) return number;
    while (number.back() == '0') number.pop_back();
    if (number.back() == '.') number.pop_back();
    return number;
}

} // namespace

std::string formattedByteCount(std::int64_t bytes) {
    if (bytes < 0) return fmt::format("-{}", formattedByteCount(bytes == INT64_MIN ? INT64_MAX : -bytes));
    if (bytes < 1000) return bytes == 1 ? "1 byte" : fmt::format("{} bytes", bytes);
    double value = static_cast<double>(bytes);
    for (std::size_t i = 0; i < units.size(); ++i) {
        value /= 1000.0;
        const double scale = std::pow(10.0, units[i].decimals);
        const double rounded = std::round(value * scale) / scale;
        if (rounded < 1000.0 || i + 1 == units.size())
            return withoutTrailingZeros(fmt::format("{:.{}f}", rounded, units[i].decimals)) + " " + units[i].name;
    }
    return {};  // not reached
}

} // namespace torvex
