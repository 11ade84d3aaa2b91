#include "AppConnection.h"
#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Build/Toolchain.h"
#include "Core/Files.h"
#include "Core/ProcessRunner.h"
#include "Core/StoppableSleep.h"
#include "Core/Version.h"
#include "Core/VisibleText.h"
#include "Runtime/WineEnvironment.h"
#include "Service/IPCClient.h"
#include "Setup/Components.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace torvex::cli {
namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds wineVersionLimit{10};

const Component& component(const std::string& id) {
    for (const auto& candidate : Components::all())
        if (candidate.id == id) return candidate;
    throw std::logic_error("no component " + id);
}

// Whether DXVK is in use, in the words every command uses.
std::string dxvkState(const TorvexPaths& paths, const WineEnvironment& wine) {
    if (wine.dxvk) return "on";
    const Component& dxvk = component("dxvk");
    return dxvk.isUnavailable() && !dxvk.isInstalled(paths) ? unavailableText : "off";
}

// The toolchain's version as the component that made it shows it: the packages' for one this
// platform provides, else the folder's name.
std::string toolchainVersion(const TorvexPaths& paths, const Toolchain& toolchain) {
    const Component& llvmMingw = component("llvm-mingw");
    std::error_code error;
    if (llvmMingw.source.providesComponent() &&
        fs::equivalent(toolchain.mingwRoot, paths.support / llvmMingw.destination, error))
        if (const auto version = llvmMingw.shownVersion()) return *version;
    return toolchain.version;
}

// The "wine" line: the installed Wine's own version text and whether DXVK is in use. None when
// Wine is not installed or does not answer within the limit.
std::optional<std::string> wineLine(const TorvexPaths& paths, const Environment& environment) {
    try {
        const WineEnvironment wine = WineEnvironment::locate(paths, "default", environment);
        std::stop_source stop;
        std::jthread watchdog([&stop](std::stop_token finished) {
            if (sleepUnlessStopped(wineVersionLimit, finished)) stop.request_stop();
        });
        const ProcessResult result =
            ProcessRunner::shared().capture(ProcessSpec{wine.wine(), {"--version"}, {}, std::nullopt}, stop.get_token());
        watchdog.request_stop();
        watchdog.join();
        if (stop.stop_requested()) return std::nullopt;
        return "wine " + trimmedWhitespace(result.standardOutput) + " (DXVK: " + dxvkState(paths, wine) + ")";
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
                        Output::out("torvex-host " + visibleText(client->appVersion()) + " (running)");
                } catch (const TorvexError&) {
                    // an application of another version is not shown
                }
                if (const auto wine = wineLine(paths, environment)) Output::out(*wine);
                try {
                    const Toolchain toolchain = Toolchain::locate(paths, environment);
                    Output::out("toolchain llvm-mingw " + toolchainVersion(paths, toolchain) + ", cmake " +
                                toolchain.cmake.string());
                } catch (const TorvexError&) {
                    // no toolchain, no line
                }
            }};
}

} // namespace torvex::cli
