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

// Where the Flutter tool keeps its configuration file `name`, as it finds it on Linux:
// ~/.flutter_<name> when that is a file (or a link to one); else <XDG_CONFIG_HOME>/<name> when
// XDG_CONFIG_HOME is set and not empty (taken literally); else ~/.config/flutter/<name>. HOME
// comes from `environment`. The file need not exist.
std::filesystem::path flutterConfigFile(const Environment& environment, const std::string& name);

// flutterConfigFile of "custom_devices.json".
std::filesystem::path configFile(const Environment& environment);

// FLUTTER_CUSTOM_DEVICES when present (exactly "true" is on); else the JSON Boolean
// "enable-custom-devices" of flutterConfigFile "settings". Anything else is off.
bool customDevicesEnabled(const Environment& environment);

// The entry whose commands start with `cli`, the absolute path of the `torvex` to run.
nlohmann::json deviceEntry(const std::string& cli);

// (`register` is a C++ keyword.) Puts the entry in place of the first "torvex" entry, or appends it. An unreadable or non-object
// file throws a TorvexError and is left as it was; file-system errors pass unchanged.
void registerDevice(const std::string& cli, const std::filesystem::path& file);
// What unregister found.
enum class Removal {
    noFile,         // nothing was there, and nothing was made
    notRegistered,  // the file holds no "torvex" entry
    removed,        // one or more were removed
};

// Removes every "torvex" entry; when no file is there (a dangling link included) nothing is
// created. Throws as registerDevice does.
Removal unregister(const std::filesystem::path& file);
// The first element of the first "torvex" entry's "ping" command; none when there is none.
std::optional<std::string> registeredCLI(const std::filesystem::path& file);

} // namespace CustomDeviceRegistration

} // namespace torvex
