#pragma once

#include "PluginCompatibility.h"
#include "Core/TorvexError.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// What the output of a failed native build says went wrong, in terms a user can act on.
struct BuildDiagnosis {
    enum class Case {
        unsupportedFeature,  // a missing header of an MSVC-only library: feature, plugin, header
        missingHeader,       // any other missing header: header, plugin
        leftOutPluginHeader, // a missing header of a plugin the build left out: header, leftOut, plugin
        missingLibrary,      // the linker found no import library: library
        diskFull,            // a tool could not write: "No space left on device"
        installFailed,       // the install step failed after the build succeeded: message
        configureFailed,     // the project's CMake files failed to configure: message
        downloadFailed,      // the project's CMake files failed to download something: download
        resourceFailed,      // the project's resource script failed in the resource compiler: script, message
        unknown,
    };

    // The CMake run that failed.
    enum class Step { configure, build, install };

    Case kind = Case::unknown;
    std::string feature;
    std::optional<std::string> plugin;  // set when the including file lies in a plugin's sources
    std::string header;                 // as written in the include
    std::string library;                // the name after "-l"
    // missingHeader: the header as it is named on disk when only its letter case differs from the
    // include, found beside the including file or in one of the SDK's include folders.
    std::optional<std::string> headerOnDisk;
    DisabledPlugin leftOut;  // leftOutPluginHeader: the plugin whose header it is
    // installFailed, configureFailed: CMake's error message, or the output's last line;
    // resourceFailed: the resource compiler's first error, or empty.
    std::string message;
    std::string script;       // resourceFailed: the script as the failed step's command names it
    FailedDownload download;  // downloadFailed

    bool operator==(const BuildDiagnosis&) const = default;

    // The earliest line that reports a missing header or library, a full disk, a failed resource
    // script of the project's own or, in the configure step (or CMake's run of it within the build
    // step), a CMake error in the project's own files decides. A missing header is looked for beside
    // the including file and in `sdkIncludeFolders` whatever its letter case; one that belongs to a
    // plugin of `leftOut` is told as such. A CMake error that tells of a failed download is told as
    // that download. Failing all these, a failed configure or install step is told with its error.
    static BuildDiagnosis diagnose(const std::vector<std::string>& lines,
                                   const std::vector<std::filesystem::path>& sdkIncludeFolders = {},
                                   const std::vector<DisabledPlugin>& leftOut = {}, Step step = Step::build);

    // The plain explanation; every fix ends with "Full output: " and the log's path.
    TorvexError error(const std::filesystem::path& logFile) const;

    // The path component after ".plugin_symlinks", if any.
    static std::optional<std::string> pluginName(std::string_view path);
    // The MSVC-only library a header belongs to, judged by its path's prefix.
    static std::optional<std::string> msvcOnlyFeature(std::string_view header);
    // Why a plugin that includes `header` of an MSVC-only library is left out, as a lowercase
    // clause: "it uses ATL (atlbase.h), which ships only with Visual Studio"; none for other headers.
    static std::optional<std::string> msvcOnlyReason(std::string_view header);
    // `header` (a relative path) as it is named below `folder` when that differs from it in
    // letter case only; none when there is no such file or it is named exactly so.
    static std::optional<std::string> nameWithOtherCase(const std::filesystem::path& folder, std::string_view header);
};

} // namespace torvex
