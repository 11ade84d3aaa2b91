#pragma once

#include "Core/Environment.h"
#include "Core/Profile.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace torvex {

// What the C library of this system offers for locales; tests stand in for it.
struct LocaleSystem {
    // Whether a locale of that name is generated here.
    std::function<bool(const std::string&)> has = [](const std::string& name) { return hasSystemLocale(name); };
    // Folders that hold C.UTF-8's data, tried in order.
    std::vector<std::filesystem::path> utf8Data{"/usr/lib/locale/C.utf8", "/usr/lib/locale/C.UTF-8"};

    static bool hasSystemLocale(const std::string& name);
};

// The locale a Wine app gets for its profile: LANG, LC_ALL and LC_MESSAGES name the profile's POSIX
// locale when this system has it. When it does not, Wine would fall back to ASCII and lose every
// other character of the app's paths; the app then runs with C.UTF-8's data under the profile's
// name instead (a link of that name in `aliases`, on LOCPATH), so Windows still sees the profile's
// language, and `notice` says which locale to generate. Without C.UTF-8's data (or for a locale
// whose name could not be a file name) it runs under C.UTF-8 itself.
struct AppLocale {
    Environment variables;
    std::optional<std::string> notice;

    // Makes the link in `aliases` when one is needed; a failure to make it gives C.UTF-8 itself.
    static AppLocale forProfile(const Profile& profile, const std::filesystem::path& aliases,
                                const LocaleSystem& system = {});
};

} // namespace torvex
