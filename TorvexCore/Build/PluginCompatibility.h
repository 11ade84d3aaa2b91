#pragma once

#include "Core/Environment.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace torvex {

// A plugin the Windows build leaves out. `reason` is a lowercase clause without a final full stop
// that completes "plugin <name> is left out of the Torvex build: <reason>."
struct DisabledPlugin {
    std::string name;
    std::string reason;
    bool compileFailure = false;  // true: its code failed to build; false: screened out beforehand

    bool operator==(const DisabledPlugin&) const = default;
};

struct CMakeErrorReport;

// A download that failed: what was fetched (its URL, or the name CMake gave it) and the error.
struct FailedDownload {
    std::string what;
    std::string error;  // may be empty

    bool operator==(const FailedDownload&) const = default;
};

// A Ninja step that failed compiling a resource script (CMake names its object <script>.res).
struct FailedResourceScript {
    std::optional<std::string> plugin;  // set when the object lies in a plugin's build folder
    std::string script;                 // as the object names it, relative to its target's folder
    std::optional<std::string> path;    // the script as the step's command names it
    std::optional<std::string> error;   // the resource compiler's first error in the step's output
};

// Which plugins a Windows build leaves out, and how they are cut out of Flutter's generated files.
namespace PluginCompatibility {

// The variables every CMake run of a build adds: SENTRY_NATIVE_BACKEND=none.
const Environment& buildEnvironment();

// Version of the screening and attribution rules; remembered failures of other versions are ignored.
// 4: SDK headers are found whatever their letter case and the compatibility header covers more of
// MSVC's library and the Windows SDK, so plugins that failed under 3 are tried again.
// 5: plugins' resource scripts get the staging patch, MSVC-style code may narrow constants, and a
// failed download is no compile failure, so plugins remembered for either are tried again.
inline constexpr int rulesVersion = 5;

// Plugins of the project's windows/flutter/generated_plugins.cmake whose CMake files show an
// MSVC-only feature, in list order.
std::vector<DisabledPlugin> analyse(const std::filesystem::path& projectWindows);

// The reason of the first MSVC-only sign found in one plugin's windows folder, or none.
std::optional<std::string> unsupportedReason(const std::filesystem::path& windowsDirectory);

// The plugins whose own sources failed in a CMake run's output lines, in order of first failure,
// each with its first error; a plugin whose first failed step compiled a resource script is said to
// fail in the resource compiler, with that script named. A plugin whose CMake files failed to
// download something is named with that download and compileFailure false: its code is not at
// fault, so it is never remembered.
std::vector<DisabledPlugin> failingPlugins(const std::vector<std::string>& lines);

// The download that the configure error `report`, read at `lines[index]`, tells of: the URL and
// status of a file(DOWNLOAD) message, or for a failed sub-build of FetchContent or ExternalProject
// the URL and error it printed before, else the sub-build itself. None for other errors.
std::optional<FailedDownload> reportedDownload(const std::vector<std::string>& lines, std::size_t index,
                                               const CMakeErrorReport& report);

// The failed resource script step whose "FAILED:" line is `lines[index]`, read up to the end of its output.
std::optional<FailedResourceScript> failedResourceScript(const std::vector<std::string>& lines, std::size_t index);

// generated_plugins.cmake without the lines that hold only one of `names`.
std::string removePluginsFromGeneratedPlugins(const std::set<std::string>& names, const std::string& generatedPlugins);

// generated_plugin_registrant.cc without the include lines of `names` and their registration
// calls; `headerDirectory` gives the folder of a plugin's public headers.
std::string removePluginsFromRegistrant(
    const std::set<std::string>& names, const std::string& registrant,
    const std::function<std::filesystem::path(const std::string&)>& headerDirectory);

// The plugin names of both plugin lists of generated_plugins.cmake, in order.
std::vector<std::string> pluginNames(const std::string& generatedPlugins);

// The CMake files of one plugin's windows folder, relative to it (with ../src/CMakeLists.txt when present).
std::vector<std::string> cmakeFiles(const std::filesystem::path& windowsDirectory);

} // namespace PluginCompatibility

// Plugins whose code failed to compile, remembered across builds of one project. An entry is
// forgotten when the plugin's link in `pluginSymlinks` gets a new target or the rules change.
struct PluginFailureMemory {
    std::filesystem::path file;            // the work folder's plugin-failures.json
    std::filesystem::path pluginSymlinks;  // the project's windows/flutter/ephemeral/.plugin_symlinks

    // The remembered plugins that still apply; never fails (a bad file counts as empty).
    std::vector<DisabledPlugin> load() const;
    // Replaces the file with the compile failures of `disabled`, in order; file-system errors are thrown.
    void record(const std::vector<DisabledPlugin>& disabled) const;
};

} // namespace torvex
