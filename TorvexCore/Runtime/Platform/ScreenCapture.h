#pragma once

#include <cstdint>
#include <string>

namespace torvex {

// The PNG image of what window `windowID` (a WindowListEntry number) shows now, the part of it
// that lies on the screen. Throws TorvexError when there is no display, when the window is gone
// or not shown, or when the display's pixels cannot be read.
std::string windowPNG(std::uint32_t windowID);

} // namespace torvex
