#pragma once

#include "Core/Environment.h"

#include <optional>
#include <stop_token>
#include <string>

namespace torvex::host {

// The PNG image of the running app's window on the X display that `environment`'s DISPLAY names:
// the Wine window titled `binaryName`, else the largest Wine window; one that is made but not yet
// shown is waited for a moment, which `stop` cuts short with Cancelled. Throws a TorvexError (what,
// why, fix) when no display is set, when no such window is shown, or when its pixels cannot be read.
std::string captureAppWindow(const std::optional<std::string>& binaryName, const Environment& environment,
                             std::stop_token stop = {});

} // namespace torvex::host
