#include "AppRunner.h"

#include "Core/HostReplacement.h"
#include "Core/Log.h"
#include "Core/StoppableSleep.h"
#include "Core/TorvexError.h"

#include <fmt/format.h>

#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace torvex {
namespace {

// Whether `notice` has not been told yet in this process: the missing-locale advice is said once,
// not before every start of a service that runs for days.
bool firstTime(const std::string& notice) {
    static auto* const told = new std::set<std::string>;
    static auto* const lock = new std::mutex;
    const std::lock_guard guard(*lock);
    return told->insert(notice).second;
}

std::string_view trimmedSpacesAndTabs(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A binary name that cmd would split or expand would start another program, or none.
void requireRunnableBinaryName(const InstalledApp& app) {
    const std::string problem = unusableNameProblem(app.binaryName);
    if (problem.empty()) return;
    throw TorvexError(TorvexError::Kind::generic, "Could not run " + app.name + ".",
                      "Its binary name \"" + app.binaryName + "\" " + problem +
                          ", and the Windows command interpreter that starts the app would misread it.",
                      "Set BINARY_NAME in windows/CMakeLists.txt to a plain name (letters, digits, \"_\" and \"-\"), "
                      "then build and install the app again.");
}

// Without an X display Wine cannot open the app's window, and the app waits for it for ever.
bool hasDisplay() {
    const Environment environment = currentEnvironment();
    return nonEmptyValue(environment, "DISPLAY") || nonEmptyValue(environment, "WAYLAND_DISPLAY");
}

void sendStandardError(const LineHandler& onLine, std::string text) {
    if (onLine) onLine(OutputLine{OutputStreamKind::standardError, std::move(text)});
}


} // namespace

std::vector<std::string> AppRunner::engineSwitches(std::string_view fromToolOptions) {
    std::vector<std::string> switches;
    bool impeller = false;
    for (std::size_t start = 0;;) {
        const std::size_t separator = fromToolOptions.find(" --", start);
        std::string_view piece = trimmedSpacesAndTabs(fromToolOptions.substr(start, separator - start));
        if (piece.starts_with("--")) piece.remove_prefix(2);
        if (!piece.empty()) {
            impeller = impeller || piece.starts_with("enable-impeller");
            switches.emplace_back(piece);
        }
        if (separator == std::string_view::npos) break;
        start = separator + 3;
    }
    if (!impeller) switches.emplace_back("enable-impeller=false");
    return switches;
}

Environment AppRunner::appEnvironment(const std::vector<std::string>& engineSwitches) const {
    Environment environment{{"FLUTTER_ENGINE_SWITCHES", std::to_string(engineSwitches.size())}};
    for (std::size_t n = 1; n <= engineSwitches.size(); ++n) {
        environment["FLUTTER_ENGINE_SWITCH_" + std::to_string(n)] = engineSwitches[n - 1];
    }
    const std::string locale = profile.posixLocale();
    for (const char* name : {"LANG", "LC_ALL", "LC_MESSAGES"}) environment[name] = locale;
    return environment;
}

std::int32_t AppRunner::run(const InstalledApp& app, const std::vector<std::string>& engineSwitches,
                            LineHandler onLine, std::stop_token stop) const {
    const std::filesystem::path executable = app.executable(wine);
    requireRunnableBinaryName(app);
    if (!hasDisplay()) {
        sendStandardError(onLine, "Torvex: no X display (DISPLAY is not set); the app's window cannot open. " +
                                      hostReplacementFix(::getpid(), "with that command's DISPLAY"));
    }

    try {
        wine.ensurePrefix([&](const std::string& text) { sendStandardError(onLine, "Torvex: " + text); }, stop);
        wine.killAll(stop);  // nothing of an earlier run is left
        wine.applyDPI(profile.dpi, stop);  // may end the server
        wine.startServer(stop);
        wine.applyTheme(profile.theme, stop);
    } catch (const Cancelled&) {
        wine.killAllQuietly();  // what the stopped step had started
        throw;
    }

    Environment environment = appEnvironment(engineSwitches);
    const AppLocale locale = AppLocale::forProfile(profile, wine.prefix / "torvex-locales", locales);
    for (const auto& [name, value] : locale.variables) environment[name] = value;
    if (locale.notice && firstTime(*locale.notice)) sendStandardError(onLine, *locale.notice);
    const ProcessSpec spec{wine.wine(),
                           {"cmd", "/c", wine.windowsPath(executable)},
                           wine.environment(environment),
                           executable.parent_path()};

    // The window-size task has a stop source of its own: the caller's stop does not end it, the
    // app's end does.
    std::jthread sizer;
    try {
        sizer = std::jthread([this](std::stop_token own) { applyWindowSizeWhenReady(own); });
    } catch (const std::system_error& error) {
        Log::process().error(fmt::format("no window-size thread: {}", error.what()));
    }
    const auto stopSizer = [&] {
        sizer.request_stop();
        if (sizer.joinable()) sizer.join();
    };

    std::int32_t exitCode = 0;
    try {
        exitCode = ProcessRunner::shared().run(spec, std::move(onLine), stop);
    } catch (...) {
        stopSizer();
        throw;
    }
    stopSizer();  // before the final killAll, so that no helper starts after it
    wine.killAllQuietly();
    return exitCode;
}

void AppRunner::applyWindowSizeWhenReady(std::stop_token stop) const {
    if (!helper) return;
    const std::vector<std::string> resize{"resize", std::to_string(profile.width), std::to_string(profile.height)};
    for (int attempt = 1; attempt <= resizeTries; ++attempt) {
        if (stop.stop_requested()) return;
        try {
            if (helper->run(resize, wine, stop) == 0) return;
        } catch (...) {
            // A helper that cannot start is one more failed try.
        }
        if (attempt == resizeTries) return;
        sleepUnlessStopped(resizeInterval, stop);
    }
}

} // namespace torvex
