#include "Raster.h"

#include "Core/TorvexError.h"

#include <png.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace torvex {
namespace {

TorvexError unsupported(const std::string& why) {
    return TorvexError(TorvexError::Kind::generic, "Could not turn the window's pixels into a PNG image.", why,
                       "Run the display at a depth of 16, 24 or 32 bits with a true-colour visual.");
}

// Picks one channel out of a pixel and widens or narrows it to 8 bits.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    explicit Channel(std::uint32_t m) : mask(m), shift(std::countr_zero(m)), bits(std::popcount(m)) {}

    bool contiguous() const { return mask != 0 && std::has_single_bit((std::uint64_t{mask} >> shift) + 1); }

    unsigned char operator()(std::uint32_t pixel) const {
        const std::uint32_t value = (pixel & mask) >> shift;
        if (bits >= 8) return static_cast<unsigned char>(value >> (bits - 8));
        return static_cast<unsigned char>(value * 255 / ((1u << bits) - 1));
    }
};

// The whole raster as tightly packed RGB bytes.
std::vector<unsigned char> rgbPixels(const Raster& raster) {
    const Channel red(raster.redMask), green(raster.greenMask), blue(raster.blueMask);
    const std::size_t bytesPerPixel = raster.bitsPerPixel / 8;
    std::vector<unsigned char> rgb(std::size_t{raster.width} * raster.height * 3);
    unsigned char* out = rgb.data();
    for (std::uint32_t y = 0; y < raster.height; ++y) {
        const unsigned char* in = raster.data + y * raster.bytesPerLine;
        for (std::uint32_t x = 0; x < raster.width; ++x, in += bytesPerPixel) {
            std::uint32_t pixel = 0;
            for (std::size_t byte = 0; byte < bytesPerPixel; ++byte) {
                const std::size_t shift = raster.mostSignificantByteFirst ? bytesPerPixel - 1 - byte : byte;
                pixel |= std::uint32_t{in[byte]} << (8 * shift);
            }
            *out++ = red(pixel);
            *out++ = green(pixel);
            *out++ = blue(pixel);
        }
    }
    return rgb;
}

} // namespace

std::string encodePNG(const Raster& raster) {
    if (raster.data == nullptr || raster.width == 0 || raster.height == 0) throw unsupported("The image has no pixels.");
    if (raster.bitsPerPixel != 8 && raster.bitsPerPixel != 16 && raster.bitsPerPixel != 24 && raster.bitsPerPixel != 32) {
        throw unsupported("Its pixels have " + std::to_string(raster.bitsPerPixel) + " bits; 8, 16, 24 or 32 can be read.");
    }
    if (raster.bytesPerLine < std::size_t{raster.width} * (raster.bitsPerPixel / 8)) {
        throw unsupported("Its rows are shorter than its width.");
    }
    const std::uint64_t pixelBits = raster.bitsPerPixel == 32 ? 0xffffffffu : (std::uint64_t{1} << raster.bitsPerPixel) - 1;
    for (const std::uint32_t mask : {raster.redMask, raster.greenMask, raster.blueMask}) {
        if (!Channel(mask).contiguous() || mask > pixelBits) throw unsupported("It has no true-colour channel masks.");
    }
    const std::vector<unsigned char> rgb = rgbPixels(raster);

    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = ::open_memstream(&buffer, &size);
    if (stream == nullptr) throw unsupported("There is not enough memory for the image.");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = raster.width;
    image.height = raster.height;
    image.format = PNG_FORMAT_RGB;
    const bool written = png_image_write_to_stdio(&image, stream, 0, rgb.data(), 0, nullptr) != 0;
    const std::string message = written ? "" : image.message;
    png_image_free(&image);
    const bool closed = std::fclose(stream) == 0;
    std::string png = written && closed ? std::string(buffer, size) : std::string();
    std::free(buffer);
    if (!written) throw unsupported("The PNG encoder failed: " + message);
    if (!closed) throw unsupported("There is not enough memory for the image.");
    return png;
}

} // namespace torvex
