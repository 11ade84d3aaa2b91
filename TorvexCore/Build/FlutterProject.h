#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace torvex {

// The app version of pubspec.yaml; 1.0.0 when the project states none.
struct PubspecVersion {
    std::string raw = "1.0.0";
    std::int64_t major = 1;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
    std::int64_t build = 0;

    PubspecVersion() = default;
    explicit PubspecVersion(const std::optional<std::string>& text);

    bool operator==(const PubspecVersion&) const = default;
};

// A Flutter project folder: the one holding pubspec.yaml.
struct FlutterProject {
    std::filesystem::path root;
    std::string binaryName;
    PubspecVersion version;

    // Walks up from a folder or file to the innermost folder with a pubspec.yaml (links resolved).
    static FlutterProject discover(const std::filesystem::path& from);
    // Reads the project at `root`, used unchanged.
    static FlutterProject load(const std::filesystem::path& root);

    std::filesystem::path windowsDirectory() const { return root / "windows"; }
    // First 16 lowercase hex digits of the SHA-256 of root's path.
    std::string hash() const;
};

} // namespace torvex
