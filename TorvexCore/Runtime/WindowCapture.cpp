#include "WindowCapture.h"

namespace torvex::WindowCapture {

std::optional<Window> select(const std::vector<WindowListEntry>& list, const std::optional<std::string>& title) {
    std::vector<Window> kept;
    for (const auto& entry : list) {
        if (entry.ownerName != "wine" || entry.layer != 0 || !entry.number || !entry.bounds) continue;
        kept.push_back(Window{*entry.number, *entry.bounds, entry.name, entry.isOnScreen.value_or(false)});
    }
    if (title) {
        for (const auto& window : kept) {
            if (window.title == *title) return window;
        }
    }
    const Window* largest = nullptr;
    double largestArea = minimumArea;
    for (const auto& window : kept) {
        const double area = window.bounds.width * window.bounds.height;
        if (area > largestArea) {
            largest = &window;
            largestArea = area;
        }
    }
    if (largest == nullptr) return std::nullopt;
    return *largest;
}

std::optional<Window> find(const std::optional<std::string>& title) { return select(windowList(), title); }

std::optional<std::uint32_t> windowID(const std::optional<std::string>& title) {
    const auto window = find(title);
    if (!window) return std::nullopt;
    return window->id;
}

} // namespace torvex::WindowCapture
