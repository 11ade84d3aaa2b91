#include "BuildDiagnosis.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>

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

// One compiled pattern, matched against a single line at a time.
class LinePattern {
public:
    explicit LinePattern(std::string_view pattern) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF, &error, &offset, nullptr));
        if (!code_) throw std::logic_error("invalid built-in pattern: " + std::string(pattern));
    }

    // The capture groups of the first match (group 0 first), or none.
    std::optional<std::vector<std::string>> match(std::string_view line) const {
        std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
            pcre2_match_data_create_from_pattern(code_.get(), nullptr), pcre2_match_data_free);
        const int count = pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(line.data()), line.size(), 0, 0,
                                      data.get(), nullptr);
        if (count <= 0) return std::nullopt;
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
        std::vector<std::string> groups;
        for (int i = 0; i < count; ++i) {
            if (ovector[2 * i] == PCRE2_UNSET) {
                groups.emplace_back();
            } else {
                groups.emplace_back(line.substr(ovector[2 * i], ovector[2 * i + 1] - ovector[2 * i]));
            }
        }
        return groups;
    }

private:
    std::unique_ptr<pcre2_code, decltype(&pcre2_code_free)> code_{nullptr, pcre2_code_free};
};

const LinePattern& missingHeaderPattern() {
    static const auto* pattern = new LinePattern(R"(^(.*?):\d+:\d+: fatal error: '([^']+)' file not found)");
    return *pattern;
}

const LinePattern& missingLibraryPattern() {
    static const auto* pattern = new LinePattern(R"(unable to find library -l(\S+))");
    return *pattern;
}

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
    std::string lowered(header);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& library : msvcOnlyLibraries) {
        if (lowered.starts_with(library.headerPrefix)) return std::string(library.feature);
    }
    return std::nullopt;
}

BuildDiagnosis BuildDiagnosis::diagnose(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        if (auto groups = missingHeaderPattern().match(line)) {
            BuildDiagnosis result;
            result.plugin = pluginName((*groups)[1]);
            result.header = (*groups)[2];
            if (auto feature = msvcOnlyFeature(result.header)) {
                result.kind = Case::unsupportedFeature;
                result.feature = *feature;
            } else {
                result.kind = Case::missingHeader;
            }
            return result;
        }
        if (auto groups = missingLibraryPattern().match(line)) {
            BuildDiagnosis result;
            result.kind = Case::missingLibrary;
            result.library = (*groups)[1];
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
        return {Kind::unsupported,
                (plugin ? "The plugin " + *plugin : std::string("The Windows code")) + " needs " + header +
                    ", which the mingw-w64 Windows headers don't include.",
                mingwSDK, "Report this plugin to Torvex so a compatibility header can be added. " + fullOutput};
    case Case::missingLibrary:
        return {Kind::unsupported,
                "The Windows build links against " + library + ", which isn't available in mingw-w64.", mingwSDK,
                "Report this to Torvex with the plugin name. " + fullOutput};
    case Case::unknown:
        break;
    }
    return {Kind::buildFailed, "The Windows build failed.", "The compiler or linker reported an error (see above).",
            fullOutput};
}

} // namespace torvex
