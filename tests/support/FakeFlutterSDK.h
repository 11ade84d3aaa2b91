#pragma once

#include "Build/FlutterSDK.h"

#include <filesystem>
#include <string>
#include <vector>

namespace torvex::testing {

// Writes a Flutter SDK folder at `root`: bin/internal/engine.version, bin/cache/flutter.version.json,
// bin/internal/engine.realm (only when `realm` is not empty), and a bin/flutter script. The script appends "cwd=<folder>" and one
// "arg=<argument>" line per argument to flutterCalls(root); `flutter config ...` then exits 0 (with
// --enable-custom-devices it first writes the setting into the settings file where the Flutter tool
// keeps it: ~/.flutter_settings when a file, else $XDG_CONFIG_HOME/settings, else
// ~/.config/flutter/settings), any other call writes a small bundle to its --asset-dir (its own snapshots only where none are yet). When failFlutter(root) exists it prints
// "lib/main.dart: Error" on stdout, "Compilation failed." on stderr and exits 1.
FlutterSDK makeFakeFlutterSDK(const std::filesystem::path& root, const std::string& engineRevision = "abc123def4567890",
                              const std::string& realm = "", const std::string& frameworkVersion = "3.24.0");

std::filesystem::path flutterCalls(const std::filesystem::path& root);
std::filesystem::path failFlutter(const std::filesystem::path& root);

} // namespace torvex::testing
