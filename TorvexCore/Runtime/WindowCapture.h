#pragma once

#include "Platform/WindowList.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Finds the running Windows app's window among the windows that Wine draws.
namespace torvex::WindowCapture {

struct Window {
    std::uint32_t id = 0;
    ScreenRect bounds;
    std::optional<std::string> title;
    bool isOnScreen = false;

    bool operator==(const Window&) const = default;
};

// Windows smaller than this (in square points) are taken for dialogs and tool windows.
inline constexpr double minimumArea = 250000.0;

// The Wine window of `list` (normal layer, with a number and bounds) whose title equals `title`;
// else, or without a title, the largest one over `minimumArea`, the first in list order on a tie.
std::optional<Window> select(const std::vector<WindowListEntry>& list, const std::optional<std::string>& title);

// select() over the system's window list, read now. Safe from any thread.
std::optional<Window> find(const std::optional<std::string>& title);
std::optional<std::uint32_t> windowID(const std::optional<std::string>& title);

} // namespace torvex::WindowCapture
