#pragma once

#include "WineEnvironment.h"
#include "Build/Toolchain.h"
#include "Core/Paths.h"

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// torvex-helper.exe, a small Windows console program that acts on the running app's window from
// inside Wine. Its commands and exit codes:
//   resize <width> <height>   0 resized; 2 no window of class FLUTTER_RUNNER_WIN32_WINDOW yet;
//                             3 a size that is not a positive number; 4 SetWindowPos failed
//   theme                     0 always: WM_SETTINGCHANGE "ImmersiveColorSet" to every top-level
//                             window, then it and WM_DWMCOLORIZATIONCOLORCHANGED to the app's
//   anything else             1
struct WindowsHelper {
    std::filesystem::path executable;

    // The helper's C source; the only input of its cache key.
    static const std::string_view source;
    // The first 6 bytes of the source's SHA-256, as 12 lowercase hexadecimal digits.
    static std::string key();
    // support/"helper"/<key>, which holds "torvex-helper.c" and "torvex-helper.exe".
    static std::filesystem::path directory(const TorvexPaths& paths);

    // The compiled helper, compiled first with the toolchain's x86_64-w64-mingw32-clang unless
    // something exists at its path. One compile runs at a time in the process, and a compile that
    // fails or is stopped leaves nothing at the exe path. Throws "Could not build Torvex's Windows
    // helper." with the compiler's standard error when it fails, Cancelled when `stop` ends it or
    // the wait for another compile; file-system and start errors pass through.
    static WindowsHelper ensure(const TorvexPaths& paths, const Toolchain& toolchain, std::stop_token stop = {});

    // Runs `wine <executable> <arguments>` in `wine`'s prefix, its output to /dev/null, and answers
    // its exit code (a stop request ends it; its code is still answered). Throws only when wine
    // cannot be started.
    // Safe to call from several threads at once.
    std::int32_t run(const std::vector<std::string>& arguments, const WineEnvironment& wine,
                     std::stop_token stop = {}) const;

    bool operator==(const WindowsHelper&) const = default;
};

} // namespace torvex
