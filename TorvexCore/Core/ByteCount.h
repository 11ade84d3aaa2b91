#pragma once

#include <cstdint>
#include <string>

namespace torvex {

// A byte count for people, in decimal units: "999 bytes", "314 KB", "124.4 MB", "5 GB", "1.25 TB".
// Kilobytes show no decimals, megabytes one, larger units two; trailing zeros are dropped.
std::string formattedByteCount(std::int64_t bytes);

} // namespace torvex
