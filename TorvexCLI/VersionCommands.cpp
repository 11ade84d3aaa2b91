#include "AppConnection.h"
#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Build/Toolchain.h"
#include "Core/Files.h"
#include "Core/ProcessRunner.h"
#include "Core/Version.h"
#include "Runtime/WineEnvironment.h"
#include "Service/IPCClient.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace torvex::cli {

namespace {

constexpr std::chrono::seconds wineVersionLimit{10};

// The "wine" line: the installed Wine's own version text and whether DXVK is in use. None when
// Wine is not installed or does not answer within the limit.
std::optional<std::string> wineLine(const TorvexPaths& paths, const Environment& environment) {
    try {
        const WineEnvironment wine = WineEnvironment::locate(paths, "default", environment);
        std::stop_source stop;
        std::jthread watchdog([&stop](std::stop_token finished) {
            std::mutex lock;
            std::condition_variable_any wake;
            std::unique_lock held(lock);
            if (!wake.wait_for(held, finished, wineVersionLimit, [] { return false; })) {
                if (!finished.stop_requested()) stop.request_stop();
            }
        });
        const ProcessResult result =
            ProcessRunner::shared().capture(ProcessSpec{wine.wine(), {"--version"}, {}, std::nullopt}, stop.get_token());
        watchdog.request_stop();
        watchdog.join();
        if (stop.stop_requested()) return std::nullopt;
        return "wine " + trimmedWhitespace(result.standardOutput) + " (DXVK: " + (wine.dxvk ? "on" : "off") + ")";
    } catch (const TorvexError&) {
        return std::nullopt;
    }
}

} // namespace

CommandSpec updateCheckCommand() {
    return {"update-check", "Check for Torvex updates in the background.", "", false, {}, {},
            [](const ParsedArguments&) {
                withErrorRule([] {
                    const auto version = requestApp(AppConnection::current(), "update-check", {}, false);
                    Output::out("Torvex " + version.value_or("?") + ": checking for updates");
                });
            }};
}

CommandSpec versionCommand() {
    return {"version", "Show Torvex, Wine and toolchain versions.", "", true, {}, {}, [](const ParsedArguments&) {
                Output::out("torvex " + TorvexVersion::current());
                const TorvexPaths& paths = TorvexPaths::defaultPaths();
                const Environment environment = currentEnvironment();
                try {
                    if (const auto client = IPCClient::connect(IPC::socketPath(paths, environment)))
                        Output::out("Torvex.app " + client->appVersion() + " (running)");
                } catch (const TorvexError&) {
                    // an application of another version is not shown
                }
                if (const auto wine = wineLine(paths, environment)) Output::out(*wine);
                try {
                    const Toolchain toolchain = Toolchain::locate(paths, environment);
                    Output::out("toolchain llvm-mingw " + toolchain.version + ", cmake " + toolchain.cmake.string());
                } catch (const TorvexError&) {
                    // no toolchain, no line
                }
            }};
}

} // namespace torvex::cli
