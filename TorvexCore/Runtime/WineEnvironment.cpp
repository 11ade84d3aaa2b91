#include "WineEnvironment.h"

#include "Core/Files.h"
#include "Core/Log.h"
#include "Core/Platform/ProcessTree.h"
#include "Core/ProcessRunner.h"
#include "Core/TextFile.h"
#include "Core/TorvexError.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace torvex {
namespace fs = std::filesystem;
namespace {

// The names in `folder`, sorted by code point; none when it cannot be listed.
std::optional<std::vector<std::string>> sortedNames(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    std::vector<std::string> names;
    for (fs::directory_iterator end; !error && entries != end; entries.increment(error)) {
        names.push_back(entries->path().filename().string());
    }
    if (error) return std::nullopt;
    std::sort(names.begin(), names.end());
    return names;
}

// The bin folder of the first ".app" bundle of each version folder, greatest version first: the
// first whose wine is executable.
std::optional<fs::path> bundledWine(const fs::path& root) {
    const auto versions = sortedNames(root).value_or(std::vector<std::string>{});
    for (auto version = versions.rbegin(); version != versions.rend(); ++version) {
        const auto names = sortedNames(root / *version);
        if (!names) continue;
        const auto bundle = std::find_if(names->begin(), names->end(),
                                         [](const std::string& name) { return name.ends_with(".app"); });
        if (bundle == names->end()) continue;
        const fs::path bin = root / *version / *bundle / "Contents" / "Resources" / "wine" / "bin";
        if (isExecutableFile(bin / "wine")) return bin;
    }
    return std::nullopt;
}

// The x64 folder of the greatest DXVK version when it holds every DLL; earlier versions are not tried.
std::optional<fs::path> installedDXVK(const fs::path& root) {
    const auto versions = sortedNames(root).value_or(std::vector<std::string>{});
    if (versions.empty()) return std::nullopt;
    const fs::path x64 = root / versions.back() / "x64";
    for (const auto dll : WineEnvironment::dxvkDLLs) {
        std::error_code error;
        if (!fs::is_regular_file(x64 / dll, error)) return std::nullopt;
    }
    return x64;
}

} // namespace

std::string unusableNameProblem(std::string_view value) {
    if (value.empty()) return "is empty";
    if (value == "." || value == "..") return "is \"" + std::string(value) + "\"";
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        const bool c1Control = c == 0xC2 && i + 1 < value.size() &&
                               static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
                               static_cast<unsigned char>(value[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1Control) {
            const unsigned code = c1Control ? static_cast<unsigned char>(value[i + 1]) : c;
            return fmt::format("holds a control character (U+{:04X})", code);
        }
        // The last seven: Wine's `cmd /c` cannot start a program whose path holds one.
        if (std::string_view("/\\&|<>^%\";,=(*?").find(static_cast<char>(c)) != std::string_view::npos) {
            return fmt::format("holds '{}'", static_cast<char>(c));
        }
    }
    if (value.back() == '.') return "ends with \".\"";  // Windows drops it from a folder name
    return "";
}

namespace {

constexpr const char* readyMarker = "torvex-ready";
constexpr const char* dpiMarker = "torvex-dpi";
constexpr const char* themeFile = "torvex-theme.reg";  // in drive_c/Torvex
constexpr const char* personalizeKey = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
// How long the Wine processes that outlived their server get to end after SIGKILL.
constexpr auto orphanEndLimit = std::chrono::seconds(2);

enum class Output { collected, discarded };

// The program's result once it has ended; throws Cancelled when a stop request ended it (or came
// first). Discarded output goes to /dev/null: a Wine server and the services it starts inherit the
// output of the program that started them, and would keep the runner's pipes open for their life.
ProcessResult runWineProgram(const WineEnvironment& wine, const fs::path& program, std::vector<std::string> arguments,
                             const std::stop_token& stop, Output output = Output::collected) {
    if (stop.stop_requested()) throw Cancelled{};
    ProcessSpec spec{program, std::move(arguments), wine.environment(), std::nullopt};
    spec.discardOutput = output == Output::discarded;
    const ProcessResult result = ProcessRunner::shared().capture(spec, stop);
    if (stop.stop_requested()) throw Cancelled{};
    return result;
}

void waitForServer(const WineEnvironment& wine, const std::stop_token& stop) {
    runWineProgram(wine, wine.wineserver(), {"-w"}, stop);
}

// The processes of this user that run in the prefix (WINEPREFIX exactly its path) and whose program's
// name starts with `program`: Wine's programs run as "wine", "wine64", "wine64-preloader",
// "wineserver64"…
std::vector<ProcessIdentity> prefixProcesses(const WineEnvironment& wine, std::string_view program) {
    const std::string entry = "WINEPREFIX=" + wine.prefix.string();
    std::vector<ProcessIdentity> found;
    for (const ProcessIdentity& process :
         processesWithEnvironmentEntry([&](std::string_view candidate) { return candidate == entry; })) {
        const auto executable = processExecutable(process.pid);
        if (executable && executable->filename().string().starts_with(program)) found.push_back(process);
    }
    return found;
}

// Ends the Wine processes of the prefix that are still running once its server has gone: without
// their server they wait for ever. SIGKILL, then at most orphanEndLimit for them to go.
void endOrphans(const WineEnvironment& wine) {
    const std::vector<ProcessIdentity> orphans = prefixProcesses(wine, "wine");
    if (orphans.empty()) return;
    Log::process().error(fmt::format("{} Wine process(es) of {} outlived its server; ending them", orphans.size(),
                                     wine.prefix.string()));
    for (const ProcessIdentity& process : orphans)
        if (isSameProcessAlive(process)) (void)::kill(process.pid, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + orphanEndLimit;
    while (std::any_of(orphans.begin(), orphans.end(), isSameProcessAlive) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Whether Wine has written the prefix's registry files.
bool hasRegistry(const fs::path& prefix) {
    std::error_code error;
    return fs::exists(prefix / "system.reg", error) && fs::exists(prefix / "user.reg", error);
}

// The last piece of `text` between line feeds that is not empty (white space counts as text).
std::optional<std::string> lastNonEmptyLine(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0) {
        const std::size_t feed = text.rfind('\n', end - 1);
        const std::size_t start = feed == std::string::npos ? 0 : feed + 1;
        if (end > start) return text.substr(start, end - start);
        if (feed == std::string::npos) break;
        end = feed;
    }
    return std::nullopt;
}

// The theme values as a registry file for `reg import`: both in one Wine program.
std::string themeRegistryFile(Profile::Theme theme) {
    const char* data = theme == Profile::Theme::light ? "00000001" : "00000000";
    return fmt::format("Windows Registry Editor Version 5.00\r\n\r\n[{}]\r\n\"AppsUseLightTheme\"=dword:{}\r\n"
                       "\"SystemUsesLightTheme\"=dword:{}\r\n",
                       personalizeKey, data, data);
}

} // namespace

void requireUsableName(std::string_view value, NameRole role) {
    const std::string problem = unusableNameProblem(value);
    if (problem.empty()) return;
    const bool app = role == NameRole::appName;
    const std::string shown =
        nlohmann::json(std::string(value)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    throw TorvexError(
        TorvexError::Kind::usage, shown + (app ? " is not a usable app name." : " is not a usable profile id."),
        "It " + problem + (app ? "; an app name" : "; a profile id") +
            " becomes a folder name and part of a Windows command line.",
        app ? "Use the app's package name, as pubspec.yaml gives it."
            : "Create a profile with `torvex profile create` and use it, or give this one an id of letters, digits "
              "and \"-\" in config.json.");
}

WineEnvironment WineEnvironment::locate(const TorvexPaths& paths, const std::string& profile,
                                        const Environment& environment) {
    requireUsableName(profile, NameRole::profileID);
    const fs::path root = paths.support / "wine";
    std::optional<fs::path> bin;
    if (const auto given = environment.find("TORVEX_WINE_BIN"); given != environment.end()) {
        bin = given->second.empty() ? fs::current_path() : fs::absolute(given->second);
    } else {
        bin = bundledWine(root);
    }
    if (!bin || !isExecutableFile(*bin / "wine")) {
        throw TorvexError(TorvexError::Kind::generic, "Wine is not installed.",
                          "No Wine build found in " + root.string() + ".", "Run `torvex setup` to install it.");
    }

    std::optional<fs::path> dxvk = installedDXVK(paths.support / "dxvk");
    if (const auto d3d = environment.find("TORVEX_D3D"); d3d != environment.end() && d3d->second == "wined3d") {
        dxvk.reset();
    }
    return WineEnvironment{*bin, paths.support / "prefixes" / profile, dxvk};
}

Environment WineEnvironment::environment(const Environment& extra) const {
    return environment(extra, currentEnvironment());
}

Environment WineEnvironment::environment(const Environment& extra, const Environment& processEnvironment) const {
    const auto debug = processEnvironment.find("WINEDEBUG");
    Environment result{
        {"WINEPREFIX", prefix.string()},
        {"WINEDEBUG", debug != processEnvironment.end() ? debug->second : "-all"},
        {"WINEDLLOVERRIDES", dxvk ? "mscoree,mshtml=;d3d11,d3d10core=n,b" : "mscoree,mshtml="},
        {"DXVK_LOG_LEVEL", "none"},
        {"MVK_CONFIG_LOG_LEVEL", "1"},
    };
    for (const auto& [name, value] : extra) result[name] = value;
    return result;
}

std::string WineEnvironment::windowsPath(const fs::path& fileUnderDriveC) const {
    const std::string file = fileUnderDriveC.string();
    const std::size_t driveLength = driveC().string().size();
    std::string path = file.size() > driveLength ? file.substr(driveLength) : "";
    std::replace(path.begin(), path.end(), '/', '\\');
    if (!path.starts_with('\\')) path.insert(path.begin(), '\\');
    return "C:" + path;
}

bool WineEnvironment::isInitialized() const {
    std::error_code error;
    return fs::exists(prefix / readyMarker, error) && hasRegistry(prefix);
}

void WineEnvironment::ensurePrefix(const std::function<void(const std::string&)>& progress, std::stop_token stop) const {
    if (isInitialized()) return;
    if (progress) progress("Creating the Windows environment (first run only)\u2026");
    std::error_code error;
    const bool existed = fs::exists(fs::symlink_status(prefix, error));
    fs::create_directories(prefix);
    ProcessResult boot;
    try {
        // An interrupted preparation may have left Wine running, and it would go on writing the registry.
        if (existed) killAll(stop);
        // Nothing of an earlier preparation counts: the settings marker goes, and without its
        // .update-timestamp Wine installs the prefix in full again instead of taking it as done.
        for (const char* stale : {readyMarker, dpiMarker, ".update-timestamp"}) fs::remove(prefix / stale);
        boot = runWineProgram(*this, wineboot(), {"--init"}, stop);
        waitForServer(*this, stop);
    } catch (const Cancelled&) {
        killAllQuietly();
        throw;
    }
    if (boot.exitCode == 0 && hasRegistry(prefix)) {
        writeFileAtomically(prefix / readyMarker, "");
        return;
    }
    endOrphans(*this);
    throw TorvexError(TorvexError::Kind::generic, "Could not create the Windows environment.",
                      lastNonEmptyLine(boot.standardError).value_or("wineboot failed."),
                      "Delete the folder " + prefix.string() + " and try again; it is recreated on first run.");
}

void WineEnvironment::killAll(std::stop_token stop) const {
    runWineProgram(*this, wineserver(), {"-k"}, stop);
    waitForServer(*this, stop);
    endOrphans(*this);
}

std::optional<ProcessIdentity> WineEnvironment::runningServer() const {
    const std::vector<ProcessIdentity> servers = prefixProcesses(*this, "wineserver");
    if (servers.empty()) return std::nullopt;
    return servers.front();
}

void WineEnvironment::startServer(std::stop_token stop) const {
    runWineProgram(*this, wineserver(), {"-p" + std::to_string(serverLinger.count())}, stop, Output::discarded);
}

void WineEnvironment::killAllQuietly() const noexcept {
    try {
        killAll();
    } catch (...) {
        Log::process().error("wineserver -k failed: " + describeCurrentException());
    }
}

void WineEnvironment::applyDPI(std::int64_t dpi, std::stop_token stop) const {
    const std::string text = std::to_string(dpi);
    const fs::path marker = prefix / dpiMarker;
    std::error_code error;
    if (fs::is_regular_file(marker, error)) {
        if (const auto current = readUTF8File(marker); current && *current == text) return;
    }
    runWineProgram(*this, wine(),
                   {"reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", text, "/f"},
                   stop, Output::discarded);
    killAll(stop);  // the next Wine start reads the new value
    writeFileAtomically(marker, text);
}

void WineEnvironment::applyTheme(Profile::Theme theme, std::stop_token stop) const {
    const fs::path file = driveC() / "Torvex" / themeFile;
    if (stop.stop_requested()) throw Cancelled{};
    fs::create_directories(file.parent_path());
    writeFileAtomically(file, themeRegistryFile(theme));
    runWineProgram(*this, wine(), {"reg", "import", windowsPath(file)}, stop, Output::discarded);
}

} // namespace torvex
