#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torvex {

// A rectangle in the screen's coordinates (origin top left).
struct ScreenRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const ScreenRect&) const = default;
};

// One entry of the system's window list, with the keys the window lookup reads. A key the
// system did not give (or gave with another type) is absent.
struct WindowListEntry {
    std::optional<std::string> ownerName;  // "wine" for a window drawn by Wine
    std::optional<std::int64_t> layer;     // 0 for a normal application window
    std::optional<std::uint32_t> number;   // the id the screen capture takes
    std::optional<ScreenRect> bounds;
    std::optional<std::string> name;       // the title, UTF-8
    std::optional<bool> isOnScreen;

    bool operator==(const WindowListEntry&) const = default;
};

// Every top-level window of the display, top-most first; empty when there is no display. At most
// `maxWindowListEntries` windows are read, the top-most ones. Never throws for a window that
// vanishes meanwhile, nor for a display that dies: the scan ends with what it has.
std::vector<WindowListEntry> windowList();

inline constexpr std::size_t maxWindowListEntries = 4096;

} // namespace torvex
