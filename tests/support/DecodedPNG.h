#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

using RGB = std::array<unsigned char, 3>;

// A PNG file read back as 8-bit RGB pixels, rows top first.
struct DecodedPNG {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<unsigned char> rgb;

    RGB at(std::uint32_t x, std::uint32_t y) const;
};

// None when `bytes` are not a PNG file libpng reads.
std::optional<DecodedPNG> decodePNG(const std::string& bytes);

} // namespace torvex::testing
