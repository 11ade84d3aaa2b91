#pragma once

#include "Environment.h"

#include <filesystem>

namespace torvex {

// The three root folders the system keeps its data under, and the folders derived from them.
// Nothing here creates a folder.
struct TorvexPaths {
    std::filesystem::path support;
    std::filesystem::path caches;
    std::filesystem::path logs;

    std::filesystem::path builds() const { return caches / "builds"; }
    std::filesystem::path toolchains() const { return support / "toolchain"; }
    std::filesystem::path engineCache() const { return support / "engine"; }

    // The process-wide paths, resolved once on first use.
    static const TorvexPaths& defaultPaths();

    // Each root from TORVEX_SUPPORT_DIR / TORVEX_CACHES_DIR / TORVEX_LOGS_DIR when set and not
    // empty (taken as written; a relative one lies under `workingFolder`), else under `home`.
    static TorvexPaths resolve(const Environment& environment, const std::filesystem::path& home,
                               const std::filesystem::path& workingFolder);
};

// The current user's home folder: $HOME when set and not empty, else the password database's.
std::filesystem::path homeFolder();
// The same, with HOME taken from `environment`.
std::filesystem::path homeFolder(const Environment& environment);

} // namespace torvex
