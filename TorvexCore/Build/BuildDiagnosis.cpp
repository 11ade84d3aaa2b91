#include "BuildDiagnosis.h"

#include "CMakeErrorReport.h"
#include "Core/ASCII.h"
#include "Core/Files.h"
#include "Core/TextPattern.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace torvex {

namespace {

struct MsvcOnlyLibrary {
    std::string_view headerPrefix;  // lowercase
    std::string_view feature;
    std::string_view needs;  // completes "it uses <feature> (<header>), which "
};

// First hit wins.
constexpr MsvcOnlyLibrary msvcOnlyLibraries[] = {
    {"winrt/", "C++/WinRT", "needs the MSVC compiler"},
    {"atl", "ATL", "ships only with Visual Studio"},
    {"afx", "MFC", "ships only with Visual Studio"},
};

const MsvcOnlyLibrary* msvcOnlyLibrary(std::string_view header) {
    // Only ASCII letters occur in the prefixes, and no other character lowercases to one of them
    // on its own, so ASCII lowercasing decides the same as full case mapping.
    const std::string lowered = lowercasedASCII(header);
    for (const auto& library : msvcOnlyLibraries) {
        if (lowered.starts_with(library.headerPrefix)) return &library;
    }
    return nullptr;
}

// The left-out plugin a missing header belongs to: the one its include path starts with
// (<plugin>/<header>, as a plugin's public headers are included), or the one whose folder of
// Flutter's plugin links it reaches into.
std::optional<DisabledPlugin> leftOutOwner(std::string_view header, const std::vector<DisabledPlugin>& leftOut) {
    const std::size_t slash = header.find('/');
    const std::optional<std::string> linked = BuildDiagnosis::pluginName(header);
    for (const DisabledPlugin& plugin : leftOut) {
        if ((slash != std::string_view::npos && header.substr(0, slash) == plugin.name) || linked == plugin.name) {
            return plugin;
        }
    }
    return std::nullopt;
}

// The last line with something visible, or "".
std::string lastLine(const std::vector<std::string>& lines) {
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (std::string text = trimmedWhitespace(withoutTerminalEscapes(*line)); !text.empty()) return text;
    }
    return {};
}

// The first CMake error that has a message.
std::optional<CMakeErrorReport> firstReport(const std::vector<std::string>& lines) {
    for (std::size_t index = 0; index < lines.size(); ++index) {
        if (auto report = CMakeErrorReport::at(lines, index); report && !report->message.empty()) return report;
    }
    return std::nullopt;
}

// A configure error raised in the project's own CMake files: none of its frames lies in a plugin.
bool inProjectFiles(const CMakeErrorReport& report) {
    if (BuildDiagnosis::pluginName(report.location)) return false;
    return std::none_of(report.callStack.begin(), report.callStack.end(),
                        [](const std::string& frame) { return BuildDiagnosis::pluginName(frame).has_value(); });
}

// "<place>: <message>", the place named from the project: CMake names the files below the
// windows folder, its top source folder, relative to it.
std::string placedMessage(const CMakeErrorReport& report) {
    const std::string place = report.location.starts_with('/') ? report.location : "windows/" + report.location;
    return report.message.empty() ? place : place + ": " + report.text();
}

const TextPattern& missingHeaderPattern() {
    static const auto* pattern = new TextPattern(R"(^(.*?):\d+:\d+: fatal error: '([^']+)' file not found)");
    return *pattern;
}

const TextPattern& missingLibraryPattern() {
    static const auto* pattern = new TextPattern(R"(unable to find library -l(\S+))");
    return *pattern;
}

// The system's text for ENOSPC, as compilers, linkers, Ninja and CMake print it.
constexpr std::string_view diskFullText = "No space left on device";

} // namespace

std::optional<std::string> BuildDiagnosis::pluginName(std::string_view path) {
    bool afterSymlinks = false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view component = path.substr(start, end - start);
        if (!component.empty()) {
            if (afterSymlinks) return std::string(component);
            afterSymlinks = component == ".plugin_symlinks";
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> BuildDiagnosis::msvcOnlyFeature(std::string_view header) {
    if (const auto* library = msvcOnlyLibrary(header)) return std::string(library->feature);
    return std::nullopt;
}

std::optional<std::string> BuildDiagnosis::msvcOnlyReason(std::string_view header) {
    const auto* library = msvcOnlyLibrary(header);
    if (!library) return std::nullopt;
    return "it uses " + std::string(library->feature) + " (" + std::string(header) + "), which " +
           std::string(library->needs);
}

std::optional<std::string> BuildDiagnosis::nameWithOtherCase(const std::filesystem::path& folder,
                                                             std::string_view header) {
    namespace fs = std::filesystem;
    fs::path found = folder;
    std::string spelled;
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find('/', start);
        if (end == std::string_view::npos) end = header.size();
        const std::string wanted = lowercasedASCII(header.substr(start, end - start));
        start = end + 1;
        if (wanted.empty() || wanted == "." || wanted == "..") return std::nullopt;
        std::optional<std::string> match;
        std::error_code error;
        for (fs::directory_iterator entry(found, error), last; !error && entry != last; entry.increment(error)) {
            const std::string name = entry->path().filename().string();
            if (lowercasedASCII(name) == wanted) {
                match = name;
                break;
            }
        }
        if (!match) return std::nullopt;
        found /= *match;
        spelled += (spelled.empty() ? "" : "/") + *match;
    }
    std::error_code error;
    if (spelled.empty() || spelled == header || !fs::is_regular_file(found, error)) return std::nullopt;
    return spelled;
}

BuildDiagnosis BuildDiagnosis::diagnose(const std::vector<std::string>& lines,
                                        const std::vector<std::filesystem::path>& sdkIncludeFolders,
                                        const std::vector<DisabledPlugin>& leftOut, Step step) {
    // Ninja runs CMake's configure again within the build step when a CMake file changed.
    static const TextPattern reconfiguring(R"(^\[\d+/\d+\] Re-running CMake\.\.\.)");
    bool configuring = step == Step::configure;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        const std::string line = withoutTerminalEscapes(lines[index]);
        if (step == Step::build && reconfiguring.firstMatch(line)) configuring = true;
        if (auto match = missingHeaderPattern().firstMatch(line)) {
            BuildDiagnosis result;
            result.plugin = pluginName(*match->groups[0]);
            result.header = *match->groups[1];
            if (auto owner = leftOutOwner(result.header, leftOut)) {
                result.kind = Case::leftOutPluginHeader;
                result.leftOut = std::move(*owner);
            } else if (auto feature = msvcOnlyFeature(result.header)) {
                result.kind = Case::unsupportedFeature;
                result.feature = *feature;
            } else {
                result.kind = Case::missingHeader;
                std::vector<std::filesystem::path> folders = {std::filesystem::path(*match->groups[0]).parent_path()};
                folders.insert(folders.end(), sdkIncludeFolders.begin(), sdkIncludeFolders.end());
                for (const auto& folder : folders) {
                    if (!folder.empty() && (result.headerOnDisk = nameWithOtherCase(folder, result.header))) break;
                }
            }
            return result;
        }
        if (auto match = missingLibraryPattern().firstMatch(line)) {
            BuildDiagnosis result;
            result.kind = Case::missingLibrary;
            result.library = *match->groups[0];
            return result;
        }
        if (line.find(diskFullText) != std::string::npos) {
            BuildDiagnosis result;
            result.kind = Case::diskFull;
            return result;
        }
        if (auto failed = PluginCompatibility::failedResourceScript(lines, index); failed && !failed->plugin) {
            BuildDiagnosis result;
            result.kind = Case::resourceFailed;
            result.script = failed->path.value_or(failed->script);
            result.message = failed->error.value_or("");
            return result;
        }
        if (!configuring) continue;
        if (const auto report = CMakeErrorReport::at(lines, index); report && inProjectFiles(*report)) {
            BuildDiagnosis result;
            if (auto download = PluginCompatibility::reportedDownload(lines, index, *report)) {
                result.kind = Case::downloadFailed;
                result.download = std::move(*download);
            } else {
                result.kind = Case::configureFailed;
                result.message = placedMessage(*report);
            }
            return result;
        }
    }
    BuildDiagnosis result;
    if (step == Step::install) {
        // What a failed step said: its first CMake error, or else its last line.
        result.kind = Case::installFailed;
        const auto report = firstReport(lines);
        result.message = report ? report->text() : lastLine(lines);
    } else if (configuring) {
        result.kind = Case::configureFailed;
        const auto report = firstReport(lines);
        result.message = report ? placedMessage(*report) : lastLine(lines);
    }
    return result;
}

TorvexError BuildDiagnosis::error(const std::filesystem::path& logFile) const {
    const std::string fullOutput = "Full output: " + logFile.string();
    const std::string mingwSDK = "Torvex builds with the open-source mingw-w64 SDK instead of Microsoft's.";
    using Kind = TorvexError::Kind;
    switch (kind) {
    case Case::unsupportedFeature:
        return {Kind::unsupported,
                (plugin ? "The plugin " + *plugin : std::string("This project")) + " uses " + feature +
                    ", which Torvex does not support yet.",
                header + " is part of an MSVC-only library; Torvex builds with clang/mingw.",
                "Use a different plugin for Windows, or test this part on real Windows. " + fullOutput};
    case Case::missingHeader:
        if (headerOnDisk) {
            return {Kind::unsupported,
                    (plugin ? "The plugin " + *plugin : std::string("The Windows code")) + " includes " + header +
                        ", but the file is named " + *headerOnDisk + ".",
                    "Windows finds files whatever the letter case of their names; this file system does not.",
                    (plugin ? std::string("Report this to the plugin's authors. ")
                            : "Change the include to " + *headerOnDisk + ". ") +
                        fullOutput};
        }
        return {Kind::unsupported,
                (plugin ? "The plugin " + *plugin : std::string("The Windows code")) + " needs " + header +
                    ", which the mingw-w64 Windows headers don't include.",
                mingwSDK, "Report this plugin to Torvex so a compatibility header can be added. " + fullOutput};
    case Case::leftOutPluginHeader:
        return {Kind::unsupported,
                (plugin ? "The plugin " + *plugin : std::string("The runner")) + " includes " + header +
                    " of the plugin " + leftOut.name + ", which Torvex left out of this build.",
                "Torvex left " + leftOut.name + " out because " + leftOut.reason + ".",
                "Keep the code that uses " + leftOut.name +
                    " out of Torvex builds (for example within #ifndef __MINGW32__), or test this part on real "
                    "Windows. " +
                    fullOutput};
    case Case::missingLibrary:
        return {Kind::unsupported,
                "The Windows build links against " + library + ", which isn't available in mingw-w64.", mingwSDK,
                "Report this to Torvex with the plugin name. " + fullOutput};
    case Case::diskFull:
        return {Kind::buildFailed, "The Windows build ran out of disk space.",
                "A build tool reported \"" + std::string(diskFullText) + "\" while writing its output.",
                "Free disk space, then build again. " + fullOutput};
    case Case::installFailed:
        return {Kind::buildFailed, "The Windows build compiled and linked, but its install step failed.",
                "cmake --install reported: " + (message.empty() ? std::string("no message") : message),
                "Make every file that an install() rule names exist once the build is done (the rules are in "
                "windows/CMakeLists.txt and the plugins' CMake files). " +
                    fullOutput};
    case Case::configureFailed:
        return {Kind::buildFailed, "The Windows build's configure step (cmake) failed.",
                "CMake reported: " + (message.empty() ? std::string("no message") : message),
                "Do what CMake's message asks at the place it names (in windows/CMakeLists.txt or a file it "
                "includes; a missing package or folder is installed or restored), then build again. " +
                    fullOutput};
    case Case::downloadFailed:
        return {Kind::buildFailed, "The Windows build's configure step could not download " + download.what + ".",
                "The download failed (" + (download.error.empty() ? std::string("no error given") : download.error) +
                    "); the network or the URL is at fault, not the project's code.",
                "Check the network connection and that the URL in the project's CMake files is right, then build "
                "again. " +
                    fullOutput};
    case Case::resourceFailed:
        return {Kind::buildFailed, "The resource compiler failed on the resource script " + script + ".",
                message.empty() ? std::string("The resource compiler's message is in the full output.")
                                : "The resource compiler reported: " + message,
                "Correct the resource script, then build again. " + fullOutput};
    case Case::unknown:
        break;
    }
    return {Kind::buildFailed, "The Windows build failed.", "The compiler or linker reported an error (see above).",
            fullOutput};
}

} // namespace torvex
