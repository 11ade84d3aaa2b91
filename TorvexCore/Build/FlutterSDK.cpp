#include "FlutterSDK.h"

#include "Core/Files.h"
#include "Core/Paths.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"

#include <nlohmann/json.hpp>

namespace torvex {
namespace fs = std::filesystem;
namespace {

std::optional<FlutterSDK> sdkAt(const fs::path& folder) {
    const fs::path root = resolvedPath(folder);
    std::error_code error;
    if (!fs::exists(root / "bin" / "internal" / "engine.version", error)) return std::nullopt;
    return FlutterSDK{root};
}

// The SDK folder of a `flutter` executable: two levels above its resolved path.
fs::path sdkFolderOf(const fs::path& executable) {
    return resolvedPath(executable).parent_path().parent_path();
}

} // namespace

std::optional<FlutterSDK> FlutterSDK::fromRoot(const fs::path& root) { return sdkAt(root); }

std::optional<fs::path> FlutterSDK::callerRoot(const Environment& environment) {
    if (const auto root = nonEmptyValue(environment, "FLUTTER_ROOT")) return fs::path(*root);
    const auto flutter = ProcessRunner::which("flutter");
    if (!flutter) return std::nullopt;
    return sdkFolderOf(*flutter);
}

FlutterSDK FlutterSDK::locate(const Environment& environment) {
    std::vector<fs::path> candidates;
    if (auto caller = callerRoot(environment)) candidates.push_back(std::move(*caller));
    const fs::path home = homeFolder();
    candidates.push_back(home / "flutter");
    candidates.push_back(home / "development" / "flutter");
    // Where Linux installs put it: the snap's SDK, and the folder that manual installs use.
    candidates.push_back(home / "snap" / "flutter" / "common" / "flutter");
    candidates.push_back("/opt/flutter");
    for (const auto& candidate : candidates) {
        if (auto sdk = sdkAt(candidate)) return *sdk;
    }
    throw TorvexError(TorvexError::Kind::generic, "No Flutter SDK found.",
                      "Checked FLUTTER_ROOT, PATH and the usual install folders.",
                      "Install Flutter or set FLUTTER_ROOT to your SDK folder.");
}

std::optional<FlutterSDK> FlutterSDK::fromLoginShell(std::stop_token stop) {
    const std::string shell = nonEmptyValue(currentEnvironment(), "SHELL").value_or("/bin/zsh");
    ProcessResult result;
    try {
        result = ProcessRunner::shared().capture(ProcessSpec{shell, {"-lic", "command -v flutter"}, {}, std::nullopt},
                                                 stop);
    } catch (const TorvexError&) {
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::string last;
    std::size_t start = 0;
    const std::string& output = result.standardOutput;
    while (start < output.size()) {
        const std::size_t end = std::min(output.find('\n', start), output.size());
        if (end > start) last = output.substr(start, end - start);
        start = end + 1;
    }
    if (last.empty() || last.front() != '/') return std::nullopt;
    return sdkAt(sdkFolderOf(last));
}

std::optional<std::string> FlutterSDK::frameworkVersion() const {
    const auto bytes = readFileBytes(root / "bin" / "cache" / "flutter.version.json");
    if (!bytes) return std::nullopt;
    const auto json = nlohmann::json::parse(*bytes, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    const auto found = json.find("frameworkVersion");
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::string FlutterSDK::engineRevision() const {
    const fs::path file = root / "bin" / "internal" / "engine.version";
    const auto text = readUTF8File(file);
    if (!text) {
        throw TorvexError(TorvexError::Kind::generic, "Could not read the Flutter engine version.",
                          file.string() + " is missing or unreadable.",
                          "Run `flutter doctor` to repair the SDK at " + root.string() + ".");
    }
    return trimmedWhitespace(*text);
}

std::string FlutterSDK::engineRealm() const {
    const auto text = readUTF8File(root / "bin" / "internal" / "engine.realm");
    return text ? trimmedWhitespace(*text) : std::string();
}

} // namespace torvex
