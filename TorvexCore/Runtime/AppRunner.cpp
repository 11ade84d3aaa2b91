#include "AppRunner.h"

#include "Core/HostReplacement.h"
#include "Core/Log.h"
#include "Core/StoppableSleep.h"
#include "Core/TorvexError.h"

#include <fmt/format.h>

#include <mutex>
#include <functional>
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

// Starts `body` on a thread with a stop source of its own; none when no thread can be made.
std::jthread startHelperThread(const char* what, std::function<void(std::stop_token)> body) {
    try {
        return std::jthread(std::move(body));
    } catch (const std::system_error& error) {
        Log::process().error(fmt::format("no {} thread: {}", what, error.what()));
        return {};
    }
}

void stopHelperThread(std::jthread& thread) {
    thread.request_stop();
    if (thread.joinable()) thread.join();
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

    // The run ends on the caller's stop, or once the prefix's Wine server has gone.
    std::stop_source end;
    const std::stop_callback forward(stop, [&end] { end.request_stop(); });
    // The window-size task and the server watch have stop sources of their own: the caller's stop
    // does not end them, the app's end does.
    std::jthread sizer = startHelperThread("window-size", [this](std::stop_token own) { applyWindowSizeWhenReady(own); });
    std::jthread watch = startHelperThread("Wine server watch", [this, &app, onLine, end](std::stop_token own) {
        watchWineServer(app, onLine, end, own);
    });
    const auto stopHelpers = [&] {
        stopHelperThread(sizer);
        stopHelperThread(watch);
    };

    std::int32_t exitCode = 0;
    try {
        exitCode = ProcessRunner::shared().run(spec, std::move(onLine), end.get_token());
    } catch (...) {
        stopHelpers();
        throw;
    }
    stopHelpers();  // before the final killAll, so that no helper starts after it and its end is no news
    wine.killAllQuietly();
    return exitCode;
}

void AppRunner::watchWineServer(const InstalledApp& app, const LineHandler& onLine, std::stop_source end,
                                std::stop_token own) const {
    try {
        std::optional<ProcessIdentity> server;
        while (!own.stop_requested()) {
            if (!server) {
                server = wine.runningServer();
            } else if (!isSameProcessAlive(*server)) {
                // A server that took over (the app may have started while the last one was leaving)
                // is watched instead.
                if (const auto next = wine.runningServer()) {
                    server = next;
                    continue;
                }
                sendStandardError(onLine, fmt::format("Torvex: the Wine server of {}'s Windows environment (pid {}) "
                                                      "ended while the app ran; the app cannot go on without it, so "
                                                      "it was ended. Run it again.",
                                                      app.binaryName, server->pid));
                end.request_stop();
                return;
            }
            sleepUnlessStopped(serverCheckInterval, own);
        }
    } catch (...) {
        Log::process().error("the Wine server watch ended: " + describeCurrentException());
    }
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
