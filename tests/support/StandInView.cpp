#include "support/StandInView.h"

#include "fixtures/engine/stand_in_view.h"

#include <fmt/format.h>

namespace torvex::testing {

RGB standInViewColour(std::uint32_t x, std::uint32_t y) {
    const unsigned char* rgb = stand_in_view_colours[(x / STAND_IN_VIEW_CELL + y / STAND_IN_VIEW_CELL) % 2];
    return {rgb[0], rgb[1], rgb[2]};
}

std::optional<std::string> standInViewMismatch(const DecodedPNG& picture) {
    if (picture.width == 0 || picture.height == 0) return "The picture has no pixels.";
    std::size_t wrong = 0;
    std::optional<std::string> first;
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        for (std::uint32_t x = 0; x < picture.width; ++x) {
            const RGB seen = picture.at(x, y);
            const RGB expected = standInViewColour(x, y);
            if (seen == expected) continue;
            if (wrong++ == 0)
                first = fmt::format("({}, {}) is #{:02x}{:02x}{:02x}, the view's is #{:02x}{:02x}{:02x}", x, y, seen[0],
                                    seen[1], seen[2], expected[0], expected[1], expected[2]);
        }
    }
    if (wrong == 0) return std::nullopt;
    return fmt::format("{} of {} pixels differ: {}", wrong, std::size_t{picture.width} * picture.height, *first);
}

} // namespace torvex::testing
