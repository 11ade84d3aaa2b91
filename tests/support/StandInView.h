#pragma once

#include "support/DecodedPNG.h"

#include <optional>
#include <string>

namespace torvex::testing {

// The stand-in engine's view (tests/fixtures/engine/stand_in_view.h): the colour it paints at a
// pixel of its client area.
RGB standInViewColour(std::uint32_t x, std::uint32_t y);

// None when every pixel of a picture of the app's window is the stand-in view's; else what
// differs, for messages ("307200 of 921600 pixels differ: (0, 0) is #000000, the view's is #1b5e9a").
std::optional<std::string> standInViewMismatch(const DecodedPNG& picture);

} // namespace torvex::testing
