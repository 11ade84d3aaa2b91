#include "AppWindowCapture.h"

#include "Core/HostReplacement.h"
#include "Core/StoppableSleep.h"
#include "Core/TorvexError.h"
#include "Runtime/Platform/ScreenCapture.h"
#include "Runtime/WindowCapture.h"

#include <chrono>

#include <unistd.h>

namespace torvex::host {

namespace {

// How long a window that Wine has made but not shown yet (as just after the app starts) is
// waited for before the capture says it is not shown.
constexpr auto showPatience = std::chrono::seconds(2);

} // namespace

std::string captureAppWindow(const std::optional<std::string>& binaryName, const Environment& environment,
                             std::stop_token stop) {
    const auto display = nonEmptyValue(environment, "DISPLAY");
    if (!display) {
        throw TorvexError(TorvexError::Kind::generic, "Screen capture is not available.",
                          "The Torvex host has no X display: DISPLAY was not set when it started.",
                          hostReplacementFix(::getpid(), "with that command's DISPLAY"));
    }
    const std::string app = binaryName ? *binaryName : "the app";
    auto window = WindowCapture::find(binaryName);
    for (const auto end = std::chrono::steady_clock::now() + showPatience;
         window && !window->isOnScreen && std::chrono::steady_clock::now() < end;) {
        if (!sleepUnlessStopped(std::chrono::milliseconds(100), stop)) throw Cancelled{};
        window = WindowCapture::find(binaryName);
    }
    if (!window) {
        throw TorvexError(TorvexError::Kind::generic, "No Torvex window to capture.",
                          "No window of " + app + " is shown on the X display " + *display + ".",
                          "Wait until the app shows its window, then try again.");
    }
    return windowPNG(window->id);
}

} // namespace torvex::host
