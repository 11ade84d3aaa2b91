#include "PluginCompatibility.h"

#include "BuildDiagnosis.h"
#include "CMakeErrorReport.h"
#include "Core/TextFile.h"
#include "Core/UnicodeText.h"
#include "Core/TextPattern.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <string_view>

namespace torvex {

namespace fs = std::filesystem;

namespace {

struct Sign {
    const char* text;  // lowercase substring of a plugin's prepared CMake text
    const char* reason;
};

// Searched in order; the first sign found anywhere decides.
constexpr Sign signs[] = {
    {"nuget", "it downloads Microsoft SDK packages with NuGet, which needs Visual Studio"},
    {".targets", "it links MSBuild .targets files, which only Visual Studio understands"},
    {"webview2", "it uses Microsoft Edge WebView2, which does not run under Torvex"},
    {"cppwinrt", "it uses C++/WinRT, which needs the MSVC compiler"},
    {"firebase_cpp_sdk", "it links Firebase's prebuilt C++ SDK, which is built for MSVC only"},
    {"find_package(jni required", "it needs a Java JDK (its DLL is only used when Dart code calls into Java)"},
};

std::string compileFailureReason(const std::optional<std::string>& firstError) {
    static const TextPattern missingHeader(R"(^'([^']+)' file not found)");
    if (firstError) {
        if (auto match = missingHeader.firstMatch(*firstError); match && match->groups[0]) {
            if (auto reason = BuildDiagnosis::msvcOnlyReason(*match->groups[0])) return *reason;
        }
    }
    return "its Windows code does not compile with clang yet (" + firstError.value_or("see the build log") + ")";
}

std::string resourceFailureReason(const std::string& script, const std::optional<std::string>& firstError) {
    return "the resource compiler failed on its resource script " + script + " (" +
           firstError.value_or("see the build log") + ")";
}

std::string downloadReason(const FailedDownload& download) {
    return "its download of " + download.what + " failed (" +
           (download.error.empty() ? std::string("see the build log") : download.error) + "); the next build tries it again";
}

// The URL of ExternalProject's and FetchContent's "error: downloading '<URL>' failed".
std::optional<std::string> downloadingURL(const std::string& line) {
    static const TextPattern pattern(R"(^\s*error: downloading '([^']+)' failed)");
    if (auto match = pattern.firstMatch(line)) return match->groups[0];
    return std::nullopt;
}

// The error that follows it: status_string: "Couldn't connect to server".
std::optional<std::string> downloadStatus(const std::string& line) {
    static const TextPattern pattern(R"re(^\s*status_string: "(.*)"\s*$)re");
    if (auto match = pattern.firstMatch(line)) return match->groups[0];
    return std::nullopt;
}

// A message that names a URL and the status list of file(DOWNLOAD ... STATUS), 7;"Couldn't connect
// to server", as plugins that download with file(DOWNLOAD) report it.
std::optional<FailedDownload> downloadInMessage(const std::string& message) {
    static const TextPattern url(R"re(\b((?:https?|ftp)://[^\s"';]*[^\s"';:.,)]))re");
    static const TextPattern status(R"re(\b\d+;"([^"]*)")re");
    const auto address = url.firstMatch(message);
    const auto error = status.firstMatch(message);
    if (!address || !error) return std::nullopt;
    return FailedDownload{*address->groups[0], *error->groups[0]};
}

// FetchContent's "Build step for <name> failed: 1": the sub-build that only downloads and unpacks
// failed, and its own output did not show (it may have been made quiet).
std::optional<FailedDownload> downloadStep(const std::string& message) {
    static const TextPattern pattern(R"(^Build step for (\S+) failed: )");
    if (auto match = pattern.firstMatch(message)) return FailedDownload{*match->groups[0], message};
    return std::nullopt;
}

// Ninja prints a failed job's output right after its "FAILED:" line and the command; the job's
// output ends at the next FAILED line, status line or message of Ninja's own.
const TextPattern& jobOutputEnd() {
    static const auto* pattern = new TextPattern(R"(^(?:FAILED: |\[\d+/\d+\] |ninja: ))");
    return *pattern;
}

// The resource compiler's way of writing an error ("error : file not found : ..."), which also
// takes the preprocessor's "fatal error: ...".
std::optional<std::string> resourceError(const std::string& line) {
    static const TextPattern pattern(R"((?i)\berror\s*:\s*(\S.*?)\s*$)");
    if (auto match = pattern.firstMatch(line)) return match->groups[0];
    return std::nullopt;
}

// llvm-rc's own message, which may be all it says: "llvm-rc: Error parsing file: ...".
std::optional<std::string> resourceToolMessage(const std::string& line) {
    static const TextPattern pattern(R"(^llvm-rc: (\S.*?)\s*$)");
    if (auto match = pattern.firstMatch(line)) return match->groups[0];
    return std::nullopt;
}

// The path that ends in "/<script>" on a command line, quoted as a shell word or bare.
std::optional<std::string> scriptOnCommandLine(const std::string& line, const std::string& script) {
    const std::string name = TextPattern::escaped("/" + script);
    const TextPattern singleQuoted("'([^']*" + name + ")'");
    const TextPattern doubleQuoted("\"([^\"]*" + name + ")\"");
    const TextPattern bare("(?:^|\\s)([^\\s'\"]*" + name + ")(?=\\s|$)");
    for (const TextPattern* pattern : {&singleQuoted, &doubleQuoted, &bare}) {
        if (auto match = pattern->firstMatch(line)) return match->groups[0];
    }
    return std::nullopt;
}

// Where a configure error was raised, then the frames that led there.
std::vector<std::string> frames(const CMakeErrorReport& report) {
    std::vector<std::string> places = {report.location};
    places.insert(places.end(), report.callStack.begin(), report.callStack.end());
    return places;
}

// The pieces of `text` between the matches of `separator`, empty ones included.
std::vector<std::string_view> split(std::string_view text, const TextPattern& separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (const TextPattern::Match& match : separator.allMatches(text)) {
        pieces.push_back(text.substr(start, match.begin - start));
        start = match.end;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

// The joined CMake texts without empty lines and whole-line comments, lowercased.
std::string preparedText(const std::string& joined) {
    static const TextPattern lineBreak(R"(\R)");
    static const TextPattern commentLine(R"(^\h*#)");
    std::string kept;
    for (std::string_view line : split(joined, lineBreak)) {
        if (line.empty() || commentLine.firstMatch(line)) continue;
        if (!kept.empty()) kept += '\n';
        kept += line;
    }
    return lowercased(kept);
}

// A link's target as the link stores it; "" when it cannot be read.
std::string symlinkTarget(const fs::path& link) {
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.string();
}

std::string trimmed(std::string_view text) {
    static constexpr std::string_view blanks = " \t\n\r\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

} // namespace

const Environment& PluginCompatibility::buildEnvironment() {
    static const Environment* environment = new Environment{{"SENTRY_NATIVE_BACKEND", "none"}};
    return *environment;
}

std::vector<std::string> PluginCompatibility::pluginNames(const std::string& generatedPlugins) {
    static const TextPattern list(R"(list\(APPEND FLUTTER(?:_FFI)?_PLUGIN_LIST\s+([^)]*)\))");
    static const TextPattern name(R"(\S+)");
    std::vector<std::string> names;
    for (const TextPattern::Match& match : list.allMatches(generatedPlugins)) {
        const std::string group = match.groups[0].value_or("");
        for (const TextPattern::Match& piece : name.allMatches(group)) {
            names.push_back(group.substr(piece.begin, piece.end - piece.begin));
        }
    }
    return names;
}

std::vector<std::string> PluginCompatibility::cmakeFiles(const fs::path& windowsDirectory) {
    std::vector<std::string> files;
    std::error_code error;
    for (fs::directory_iterator entry(windowsDirectory, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name == "CMakeLists.txt" || name.ends_with(".cmake")) files.push_back(name);
    }
    if (fs::is_regular_file(windowsDirectory / "../src/CMakeLists.txt", error)) files.push_back("../src/CMakeLists.txt");
    return files;
}

std::optional<std::string> PluginCompatibility::unsupportedReason(const fs::path& windowsDirectory) {
    std::string joined;
    bool first = true;
    for (const std::string& relative : cmakeFiles(windowsDirectory)) {
        const auto text = readUTF8File(windowsDirectory / relative);
        if (!text) continue;
        if (!first) joined += '\n';
        joined += *text;
        first = false;
    }
    const std::string prepared = preparedText(joined);
    for (const Sign& sign : signs) {
        if (prepared.find(sign.text) != std::string::npos) return sign.reason;
    }
    return std::nullopt;
}

std::vector<DisabledPlugin> PluginCompatibility::analyse(const fs::path& projectWindows) {
    const std::string generated = readUTF8File(projectWindows / "flutter/generated_plugins.cmake").value_or("");
    std::vector<DisabledPlugin> disabled;
    for (const std::string& name : pluginNames(generated)) {
        const fs::path pluginWindows = projectWindows / "flutter/ephemeral/.plugin_symlinks" / name / "windows";
        if (auto reason = unsupportedReason(pluginWindows)) disabled.push_back({name, *reason, false});
    }
    return disabled;
}

std::vector<DisabledPlugin> PluginCompatibility::failingPlugins(const std::vector<std::string>& lines) {
    static const TextPattern failedStep(R"(^FAILED: .*?\bplugins/([^/\s]+)/)");
    static const TextPattern pluginError(R"(\.plugin_symlinks/([^/]+)/.*?(?:fatal )?error: (.*)$)");
    static const TextPattern pluginFolder(R"(\.plugin_symlinks/([^/]+)/)");
    static const TextPattern anyError(R"((?:fatal )?error: (.*)$)");

    std::vector<std::string> failed;
    std::map<std::string, std::string> firstError;    // errors located in the plugin's own files
    std::map<std::string, std::string> firstJobError;  // errors anywhere in the output of its failed jobs
    std::map<std::string, FailedResourceScript> resourceScript;  // plugins whose first failed step was a resource script
    // Failed downloads by plugin: those of a failed job's output, and those that a configure error of
    // the plugin's CMake files reports (reportedDownload, shared with the diagnosis).
    std::map<std::string, FailedDownload> downloads;
    std::optional<std::string> awaitingStatus;  // whose download's error follows
    std::optional<std::string> failedJob;       // the plugin whose failed job's output is being read
    auto noteFailed = [&](const std::string& name) {
        if (std::find(failed.begin(), failed.end(), name) == failed.end()) failed.push_back(name);
    };

    for (std::size_t index = 0; index < lines.size(); ++index) {
        const std::string line = withoutTerminalEscapes(lines[index]);
        if (jobOutputEnd().firstMatch(line)) failedJob.reset();
        if (auto script = failedResourceScript(lines, index); script && script->plugin) {
            if (std::find(failed.begin(), failed.end(), *script->plugin) == failed.end())
                resourceScript.try_emplace(*script->plugin, std::move(*script));
        }
        if (auto match = failedStep.firstMatch(line); match && match->groups[0]) {
            noteFailed(*match->groups[0]);
            failedJob = *match->groups[0];
        } else if (auto error = anyError.firstMatch(line); error && failedJob && error->groups[0]) {
            firstJobError.try_emplace(*failedJob, *error->groups[0]);
        }
        if (auto match = pluginError.firstMatch(line); match && match->groups[0] && match->groups[1]) {
            firstError.try_emplace(*match->groups[0], *match->groups[1]);
        }
        if (auto url = downloadingURL(line); url && failedJob) {
            awaitingStatus = failedJob;
            downloads.try_emplace(*awaitingStatus, FailedDownload{*url, ""});
        } else if (auto status = downloadStatus(line); status && awaitingStatus) {
            if (auto& download = downloads[*awaitingStatus]; download.error.empty()) download.error = *status;
            awaitingStatus.reset();
        }
        // A configure error raised in a plugin's CMake files, or in what they called.
        if (const auto report = CMakeErrorReport::at(lines, index)) {
            std::optional<std::string> plugin;
            for (const std::string& place : frames(*report)) {
                if (auto match = pluginFolder.firstMatch(place); match && match->groups[0]) {
                    plugin = *match->groups[0];
                    break;
                }
            }
            if (!plugin) continue;
            noteFailed(*plugin);
            if (!report->message.empty()) firstError.try_emplace(*plugin, report->message.front());
            if (auto download = reportedDownload(lines, index, *report)) downloads.try_emplace(*plugin, std::move(*download));
        }
    }

    // An error in the plugin's own files names the fault best; an error in a shared header (the
    // client wrapper's, say) or the linker's still says more than none.
    auto errorOf = [&](const std::string& name) -> std::optional<std::string> {
        for (const auto* errors : {&firstError, &firstJobError}) {
            if (const auto found = errors->find(name); found != errors->end()) return found->second;
        }
        return std::nullopt;
    };
    std::vector<DisabledPlugin> plugins;
    for (const std::string& name : failed) {
        if (const auto download = downloads.find(name); download != downloads.end()) {
            // Not a fault of its code: the next build tries it again.
            plugins.push_back({name, downloadReason(download->second), false});
        } else if (const auto script = resourceScript.find(name); script != resourceScript.end()) {
            plugins.push_back({name, resourceFailureReason(script->second.script, script->second.error), true});
        } else {
            plugins.push_back({name, compileFailureReason(errorOf(name)), true});
        }
    }
    return plugins;
}

std::optional<FailedDownload> PluginCompatibility::reportedDownload(const std::vector<std::string>& lines,
                                                                   std::size_t index, const CMakeErrorReport& report) {
    if (auto own = downloadInMessage(report.text())) return own;
    // The first download, with its error, that ExternalProject's report quotes below its message.
    const auto quoted = [&](std::size_t from, std::size_t to) -> std::optional<FailedDownload> {
        for (std::size_t next = from; next < to; ++next) {
            const auto url = downloadingURL(withoutTerminalEscapes(lines[next]));
            if (!url) continue;
            FailedDownload download{*url, ""};
            for (std::size_t after = next + 1; after < to; ++after) {
                const std::string line = withoutTerminalEscapes(lines[after]);
                if (downloadingURL(line)) break;
                if (auto status = downloadStatus(line)) {
                    download.error = *status;
                    break;
                }
            }
            return download;
        }
        return std::nullopt;
    };
    std::size_t end = index + 1;
    while (end < lines.size() && !CMakeErrorReport::at(lines, end)) ++end;
    if (auto own = quoted(index + 1, end)) return own;
    const auto step = downloadStep(report.text());
    if (!step) return std::nullopt;
    // The sub-build's output, when it showed, came before and names what it failed to fetch.
    for (std::size_t earlier = index; earlier-- > 0;) {
        if (downloadingURL(withoutTerminalEscapes(lines[earlier]))) return quoted(earlier, index);
    }
    return step;
}

std::optional<FailedResourceScript> PluginCompatibility::failedResourceScript(const std::vector<std::string>& lines,
                                                                              std::size_t index) {
    static const TextPattern step(R"(^FAILED: (\S*?)CMakeFiles/[^/\s]+\.dir/(\S+?\.(?i:rc))\.res(?:\s|$))");
    static const TextPattern pluginBuildFolder(R"((?:^|/)plugins/([^/]+)/$)");
    if (index >= lines.size()) return std::nullopt;
    const auto match = step.firstMatch(withoutTerminalEscapes(lines[index]));
    if (!match || !match->groups[1]) return std::nullopt;
    FailedResourceScript failed;
    failed.script = *match->groups[1];
    if (auto plugin = pluginBuildFolder.firstMatch(match->groups[0].value_or(""))) failed.plugin = plugin->groups[0];
    std::optional<std::string> toolMessage;
    for (std::size_t next = index + 1; next < lines.size(); ++next) {
        const std::string line = withoutTerminalEscapes(lines[next]);
        if (jobOutputEnd().firstMatch(line)) break;
        if (next == index + 1) failed.path = scriptOnCommandLine(line, failed.script);
        if ((failed.error = resourceError(line))) break;
        if (!toolMessage) toolMessage = resourceToolMessage(line);
    }
    if (!failed.error) failed.error = toolMessage;
    return failed;
}

std::string PluginCompatibility::removePluginsFromGeneratedPlugins(const std::set<std::string>& names,
                                                                   const std::string& generatedPlugins) {
    std::string result;
    std::size_t start = 0;
    bool first = true;
    while (start <= generatedPlugins.size()) {
        std::size_t end = generatedPlugins.find('\n', start);
        if (end == std::string::npos) end = generatedPlugins.size();
        const std::string_view piece = std::string_view(generatedPlugins).substr(start, end - start);
        if (!names.contains(trimmed(piece))) {
            if (!first) result += '\n';
            result += piece;
            first = false;
        }
        start = end + 1;
    }
    return result;
}

std::string PluginCompatibility::removePluginsFromRegistrant(
    const std::set<std::string>& names, const std::string& registrant,
    const std::function<fs::path(const std::string&)>& headerDirectory) {
    static const TextPattern include(R"((?m)^#include <([^/>]+)/([^>]+)>\r?\n)");
    static const TextPattern registrationFunction(R"((\w+RegisterWithRegistrar)\s*\()");

    std::string result = registrant;
    const auto includes = include.allMatches(registrant);
    for (auto match = includes.rbegin(); match != includes.rend(); ++match) {
        const std::string& plugin = *match->groups[0];
        if (!names.contains(plugin)) continue;
        const fs::path header = headerDirectory(plugin) / (plugin + "/" + *match->groups[1]);
        if (const auto text = readUTF8File(header)) {
            if (const auto function = registrationFunction.firstMatch(*text)) {
                const TextPattern call("(?m)^[ \\t]*" + TextPattern::escaped(*function->groups[0]) +
                                       R"(\(\s*registry->GetRegistrarForPlugin\("[^"]*"\)\);\r?\n)");
                result = call.replaceAll(result, "");
            }
        }
        const std::string line = registrant.substr(match->begin, match->end - match->begin);
        for (std::size_t found = result.find(line); found != std::string::npos; found = result.find(line, found)) {
            result.erase(found, line.size());
        }
    }
    return result;
}

std::vector<DisabledPlugin> PluginFailureMemory::load() const {
    std::string bytes;
    try {
        bytes = readFileOrThrow(file);
    } catch (const fs::filesystem_error&) {
        return {};
    }
    const nlohmann::json entries = nlohmann::json::parse(bytes, nullptr, false);
    if (!entries.is_array()) return {};

    std::vector<DisabledPlugin> kept;
    for (const nlohmann::json& entry : entries) {
        if (!entry.is_object()) return {};
        const auto plugin = entry.find("plugin");
        const auto source = entry.find("source");
        if (plugin == entry.end() || !plugin->is_object() || source == entry.end() || !source->is_string()) return {};
        const auto name = plugin->find("name");
        const auto reason = plugin->find("reason");
        const auto compileFailure = plugin->find("compileFailure");
        if (name == plugin->end() || !name->is_string() || reason == plugin->end() || !reason->is_string() ||
            compileFailure == plugin->end() || !compileFailure->is_boolean()) {
            return {};
        }
        const auto version = entry.find("rulesVersion");
        if (version != entry.end() && !version->is_null() && !version->is_number_integer()) return {};

        const bool currentRules = version != entry.end() && version->is_number_integer() &&
                                  version->get<std::int64_t>() == PluginCompatibility::rulesVersion;
        const std::string pluginName = name->get<std::string>();
        if (currentRules && symlinkTarget(pluginSymlinks / pluginName) == source->get<std::string>()) {
            kept.push_back({pluginName, reason->get<std::string>(), compileFailure->get<bool>()});
        }
    }
    return kept;
}

void PluginFailureMemory::record(const std::vector<DisabledPlugin>& disabled) const {
    nlohmann::json entries = nlohmann::json::array();
    for (const DisabledPlugin& plugin : disabled) {
        if (!plugin.compileFailure) continue;
        entries.push_back({
            {"plugin", {{"name", plugin.name}, {"reason", plugin.reason}, {"compileFailure", plugin.compileFailure}}},
            {"source", symlinkTarget(pluginSymlinks / plugin.name)},
            {"rulesVersion", PluginCompatibility::rulesVersion},
        });
    }
    // Compiler messages may hold bytes that are not UTF-8; they must not stop the build here.
    writeFileBytes(file, entries.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace torvex
