#include "BuildDiagnosis.h"

#include "Core/ASCII.h"
#include "Core/Files.h"
#include "Core/TextPattern.h"

#include <algorithm>
#include <cctype>

namespace torvex {

namespace {

struct MsvcOnlyLibrary {
    std::string_view headerPrefix;  // lowercase
    std::string_view feature;
};

// First hit wins.
constexpr MsvcOnlyLibrary msvcOnlyLibraries[] = {
    {"winrt/", "C++/WinRT"},
    {"atl", "ATL"},
    {"afx", "MFC"},
};

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
    // Only ASCII letters occur in the prefixes, and no other character lowercases to one of them
    // on its own, so ASCII lowercasing decides the same as full case mapping.
    const std::string lowered = lowercasedASCII(header);
    for (const auto& library : msvcOnlyLibraries) {
        if (lowered.starts_with(library.headerPrefix)) return std::string(library.feature);
    }
    return std::nullopt;
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
                                        const std::vector<std::filesystem::path>& sdkIncludeFolders) {
    for (const auto& raw : lines) {
        const std::string line = withoutTerminalEscapes(raw);
        if (auto match = missingHeaderPattern().firstMatch(line)) {
            BuildDiagnosis result;
            result.plugin = pluginName(*match->groups[0]);
            result.header = *match->groups[1];
            if (auto feature = msvcOnlyFeature(result.header)) {
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
    }
    return {};
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
    case Case::missingLibrary:
        return {Kind::unsupported,
                "The Windows build links against " + library + ", which isn't available in mingw-w64.", mingwSDK,
                "Report this to Torvex with the plugin name. " + fullOutput};
    case Case::diskFull:
        return {Kind::buildFailed, "The Windows build ran out of disk space.",
                "A build tool reported \"" + std::string(diskFullText) + "\" while writing its output.",
                "Free disk space, then build again. " + fullOutput};
    case Case::unknown:
        break;
    }
    return {Kind::buildFailed, "The Windows build failed.", "The compiler or linker reported an error (see above).",
            fullOutput};
}

} // namespace torvex
