#pragma once

#include "Core/Environment.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace torvex {

// The system's entry in the Flutter tool's custom-device file, so that `flutter run` and IDEs list
// "Torvex · Windows 11" and drive `torvex`. Every operation reads the file afresh; writes replace
// it whole and atomically, keeping every other key and device as it was.
namespace CustomDeviceRegistration {

inline constexpr const char* deviceID = "torvex";

// ~/.flutter_custom_devices when anything is there, else flutter/custom_devices.json under
// XDG_CONFIG_HOME (when set and not empty, taken literally) or ~/.config. HOME comes from
// `environment`. The file need not exist.
std::filesystem::path configFile(const Environment& environment);

// FLUTTER_CUSTOM_DEVICES when present (exactly "true" is on); else the JSON Boolean
// "enable-custom-devices" of ~/.flutter_settings, or of "settings" beside the custom-device file
// when that does not exist. Anything else is off.
bool customDevicesEnabled(const Environment& environment);

// The entry whose commands start with `cli`, the absolute path of the `torvex` to run.
nlohmann::json deviceEntry(const std::string& cli);

// (`register` is a C++ keyword.) Puts the entry in place of the first "torvex" entry, or appends it. An unreadable or non-object
// file throws a TorvexError and is left as it was; file-system errors pass unchanged.
void registerDevice(const std::string& cli, const std::filesystem::path& file);
// Removes every "torvex" entry; a missing file is left missing. Throws as registerDevice does.
void unregister(const std::filesystem::path& file);
// The first element of the first "torvex" entry's "ping" command; none when there is none.
std::optional<std::string> registeredCLI(const std::filesystem::path& file);

} // namespace CustomDeviceRegistration

} // namespace torvex
