#pragma once

#include "WineEnvironment.h"
#include "Core/Paths.h"

#include <filesystem>
#include <string>

namespace torvex {

// A built app installed in the Wine drive of a profile's prefix: the folder
// drive_c/Torvex/Apps/<name> holds a mirror of the project's build output, the DXVK DLLs when
// DXVK is in use, and the record "torvex-app.json" of this value.
struct InstalledApp {
    std::string name;         // the caller's app name; names the folder
    std::string binaryName;   // the executable is binaryName + ".exe"
    std::string projectRoot;  // absolute path of the project's root folder

    // The record file's name in the app folder.
    static constexpr const char* recordName = "torvex-app.json";
    // The file in the app folder that says an install has begun and not yet finished.
    static constexpr const char* unfinishedName = "torvex-install.partial";

    // Mirrors the build output caches/"builds"/<hash>/"out" of the project around `projectPath`
    // into the app folder (only what changed; the DXVK DLLs and the record are kept), copies the
    // DXVK DLLs when `wine` has DXVK, and writes the record atomically. Throws "There is no Windows
    // build of <binaryName> to install." before touching anything when the output has no
    // executable; project discovery, mirror and file-system errors pass through unchanged.
    // All or nothing for load: the unfinished marker is written before the first change and
    // removed after the record, so an install that fails or is killed half-way leaves an app that
    // load refuses until an install completes.
    static InstalledApp install(const std::string& name, const std::filesystem::path& projectPath,
                                const WineEnvironment& wine, const TorvexPaths& paths);
    // The record of an installed app; "<name> is not installed in Torvex." when it is missing,
    // unreadable or damaged, "The installation of <name> did not finish." while the unfinished
    // marker is there.
    static InstalledApp load(const std::string& name, const WineEnvironment& wine);
    // Removes the app folder with everything in it, the record first; nothing to remove is no error.
    static void uninstall(const std::string& name, const WineEnvironment& wine);

    // prefix/drive_c/Torvex/Apps/<name>; touches nothing. Every operation refuses a name that
    // requireUsableName refuses, before touching the disk.
    static std::filesystem::path directory(const std::string& name, const WineEnvironment& wine);
    // directory(name)/(binaryName + ".exe"), whether or not it exists.
    std::filesystem::path executable(const WineEnvironment& wine) const;

    // The record's bytes: compact JSON on one line, every "/" written as "\/". Throws a TorvexError
    // when a field is not valid UTF-8.
    std::string recordJSON() const;

    bool operator==(const InstalledApp&) const = default;
};

} // namespace torvex
