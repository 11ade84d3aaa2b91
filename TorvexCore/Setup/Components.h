#pragma once

#include "SystemSource.h"
#include "Core/Paths.h"

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// One tool the system installs under the support folder: which archive to fetch, its SHA-256 and
// size, which part of the unpacked archive to keep, where to put it, and which file proves it is
// installed. `source` says how this platform provides it instead of the archive.
struct Component {
    std::string id;
    std::string name;
    std::string version;
    std::string licence;
    std::string url;              // the archive's file name is its last path component
    std::string sha256;           // 64 lowercase hexadecimal digits
    std::int64_t size = 0;        // bytes; the expected size when the server sends no length
    std::string archivePath;      // relative to the unpacked archive
    std::string destination;      // relative to the support folder
    std::string installedMarker;  // relative to the support folder
    SystemSource source;

    // Something exists at support/installedMarker (a dangling link does not count). Nothing is checked.
    bool isInstalled(const TorvexPaths& paths) const;
    std::string archiveFileName() const;
    // The version shown for it: the installed package's for a component this platform provides
    // (none when the package manager knows of no installed one), else `version`.
    std::optional<std::string> shownVersion(std::stop_token stop = {}) const;
    // Nothing here can provide it (no package, no download): setup passes it by.
    bool isUnavailable() const { return source.kind == SystemSource::Kind::unavailable; }
    // The packages this platform makes it from, "clang, lld, llvm, g++-mingw-w64-x86-64-posix".
    std::string packageList(std::string_view separator = ", ") const;
};

// How every command shows a component that this platform cannot provide.
inline constexpr const char* unavailableText = "not available on this system (optional)";

namespace Components {

// The five components, in installation order; built once.
const std::vector<Component>& all();

// The components of `all` that are not installed and can be, in table order.
std::vector<Component> missing(const TorvexPaths& paths);

} // namespace Components

} // namespace torvex
