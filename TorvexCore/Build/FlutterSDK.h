#pragma once

#include "Core/Environment.h"

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

namespace torvex {

// A Flutter SDK folder (links resolved) holding bin/internal/engine.version when found.
struct FlutterSDK {
    std::filesystem::path root;

    // The folder, standardised with links resolved, when it holds bin/internal/engine.version.
    static std::optional<FlutterSDK> fromRoot(const std::filesystem::path& root);
    // FLUTTER_ROOT, else the caller's own SDK; then ~/flutter, ~/development/flutter,
    // ~/snap/flutter/common/flutter and /opt/flutter.
    static FlutterSDK locate(const Environment& environment);
    // FLUTTER_ROOT when set and not empty, else the SDK of the `flutter` on the program's PATH.
    static std::optional<std::filesystem::path> callerRoot(const Environment& environment);
    // Asks the user's login shell where `flutter` is.
    static std::optional<FlutterSDK> fromLoginShell(std::stop_token stop = {});

    std::filesystem::path flutterExecutable() const { return root / "bin" / "flutter"; }
    std::optional<std::string> frameworkVersion() const;
    std::string engineRevision() const;
    std::string engineRealm() const;

    bool operator==(const FlutterSDK& other) const { return root == other.root; }
};

} // namespace torvex
