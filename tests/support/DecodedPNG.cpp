#include "support/DecodedPNG.h"

#include <png.h>

namespace torvex::testing {

RGB DecodedPNG::at(std::uint32_t x, std::uint32_t y) const {
    const std::size_t offset = (std::size_t{y} * width + x) * 3;
    return {rgb[offset], rgb[offset + 1], rgb[offset + 2]};
}

std::optional<DecodedPNG> decodePNG(const std::string& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) == 0) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    DecodedPNG decoded;
    decoded.width = image.width;
    decoded.height = image.height;
    decoded.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, decoded.rgb.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    return decoded;
}

} // namespace torvex::testing
