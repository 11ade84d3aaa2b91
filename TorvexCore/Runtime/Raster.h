#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace torvex {

// Pixels as a display server hands them over: rows of packed pixels whose colour channels are
// picked out by masks. Only a view: `data` stays the caller's.
struct Raster {
    const unsigned char* data = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t bytesPerLine = 0;    // a row's stride, padding included
    unsigned bitsPerPixel = 0;       // 8, 16, 24 or 32
    bool mostSignificantByteFirst = false;
    std::uint32_t redMask = 0;
    std::uint32_t greenMask = 0;
    std::uint32_t blueMask = 0;
};

// The raster as an 8-bit RGB PNG file; bits outside the three masks (alpha, padding) are dropped
// and narrower channels are scaled up to 8 bits. Throws TorvexError when the layout is not one
// of the above (no pixels, a stride shorter than a row, a mask that is empty or too wide).
std::string encodePNG(const Raster& raster);

} // namespace torvex
