#pragma once

#include "Paths.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

struct ScreenSize {
    std::int64_t width;
    std::int64_t height;
};

// A simulated Windows display and locale. No field is range-checked.
struct Profile {
    enum class Theme { light, dark };

    std::string id;
    std::string name;
    std::int64_t dpi = 96;
    std::int64_t width = 1280;
    std::int64_t height = 720;
    Theme theme = Theme::light;
    std::string locale = "en-US";

    // id "default", "Windows 11", 96 dpi, 1280×720, light, "en-US".
    static Profile defaultProfile();

    // What a user interface offers; nothing checks a profile against them.
    static constexpr std::array<std::int64_t, 4> dpiChoices{96, 120, 144, 192};
    static constexpr std::array<ScreenSize, 6> sizeChoices{
        {{1280, 720}, {1366, 768}, {1440, 900}, {1920, 1080}, {2560, 1440}, {3840, 2160}}};
    static constexpr std::array<std::string_view, 7> localeChoices{"en-US", "en-GB", "de-DE", "fr-FR",
                                                                   "ar-SA", "hi-IN", "ja-JP"};
    static constexpr std::array<Theme, 2> allThemes{Theme::light, Theme::dark};

    // dpi × 100 / 96, truncated toward zero; saturates instead of overflowing.
    std::int64_t scalePercent() const;
    // "1280×720 · 100 % · Light · en-US"
    std::string summary() const;
    // "en-US" gives "en_US.UTF-8".
    std::string posixLocale() const;

    bool operator==(const Profile&) const = default;
};

// "light" or "dark".
std::string_view rawValue(Profile::Theme theme);
// The theme whose raw value is exactly `text`.
std::optional<Profile::Theme> themeFromRawValue(std::string_view text);

// Seconds since 2001-01-01 00:00:00 UTC, the form dates take in the configuration file.
double referenceSeconds(std::chrono::system_clock::time_point time);

// The user's settings, kept in support/"config.json".
struct TorvexConfig {
    std::vector<Profile> profiles{Profile::defaultProfile()};
    std::string currentProfileID = "default";
    std::optional<std::string> captureFolder;
    std::optional<double> onboardingCompletedAt;  // referenceSeconds()
    std::optional<std::string> flutterRoot;

    // Never fails: a missing or undecodable file gives the defaults (an undecodable one is logged).
    static TorvexConfig load(const TorvexPaths& paths);

    // Writes the whole file atomically (pretty, sorted keys); text that is not UTF-8 is repaired
    // with U+FFFD. An existing file that does not decode is kept as "config.json.damaged-<UTC time>"
    // once the new one is written. Holds the lock "config.json.lock" beside the file, waiting for
    // other processes. Throws filesystem errors (the previous file is then unchanged), or a
    // TorvexError when another process holds the lock for 30 s.
    void save(const TorvexPaths& paths) const;

    // Load, change and save under one hold of the lock, so that changes made by several processes
    // at once are all kept. Answers the saved configuration; throws what save throws.
    static TorvexConfig update(const TorvexPaths& paths, const std::function<void(TorvexConfig&)>& change);

    // The configuration's JSON form, compact, with every "/" escaped.
    std::string compactJSON() const;

    // The profile named by currentProfileID, else the first, else the default profile.
    Profile currentProfile() const;
    // Replaces the profile with the same id in place (or appends it) and selects it.
    void setCurrentProfile(const Profile& profile);

    // captureFolder as written when present, else ~/Desktop. Creates nothing.
    std::filesystem::path captureDirectory() const;

    // An id made from a display name that no profile has yet: lower-cased, every character
    // that is neither letter nor number made "-", runs collapsed, ends trimmed ("profile" when
    // nothing is left), then "-2", "-3"… until free.
    std::string newProfileID(std::string_view displayName) const;

    bool operator==(const TorvexConfig&) const = default;
};

// The most bytes a profile id may have: it names the folder of the profile's Wine prefix.
inline constexpr std::size_t longestProfileID = 255;

// Refuses a new profile whose `id`, made from the display name `name`, could not be a folder name
// (longer than longestProfileID): a usage error that shows the name escaped and shortened.
void requireProfileIDFits(std::string_view id, std::string_view name);

} // namespace torvex
