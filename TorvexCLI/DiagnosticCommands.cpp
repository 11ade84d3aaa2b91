#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Build/FlutterSDK.h"
#include "Core/Platform/ProcessInfo.h"
#include "Core/VisibleText.h"
#include "Service/IPCClient.h"
#include "Service/Messages.h"
#include "Setup/Components.h"
#include "Setup/DiagnosticReport.h"
#include "Setup/Doctor.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>

namespace torvex::cli {
namespace fs = std::filesystem;

namespace {

using Kind = ArgumentSpec::Kind;

// The compact manifest of what this platform installs, keys sorted, every "/" written as "\/" as
// the system serialiser does. A download has its address, digest and size; a component made from
// the distribution's packages names them as "apt:<package>,<package>…" with the installed version
// ("" when none is), no digest and size 0; one this platform cannot provide has only its names.
std::string componentManifest() {
    nlohmann::json manifest = nlohmann::json::array();
    for (const Component& component : Components::all()) {
        const bool downloaded = component.source.kind == SystemSource::Kind::none;
        const std::string url = component.source.providesComponent() ? "apt:" + component.packageList(",")
                                : downloaded                          ? component.url
                                                                      : "";
        manifest.push_back({{"id", component.id},
                            {"name", component.name},
                            {"version", component.isUnavailable() ? "" : component.shownVersion().value_or("")},
                            {"licence", component.licence},
                            {"url", url},
                            {"sha256", downloaded ? component.sha256 : ""},
                            {"size", std::to_string(downloaded ? component.size : 0)}});
    }
    std::string text;
    for (const char c : manifest.dump()) text += c == '/' ? std::string("\\/") : std::string(1, c);  // only strings hold "/"
    return text;
}

} // namespace

std::optional<std::string> runningExecutable() {
    const auto executable = executablePath();
    if (!executable) return std::nullopt;
    return executable->string();
}

CommandSpec doctorCommand() {
    return {"doctor",
            "Check everything Torvex needs, with a fix for each problem.",
            "",
            true,
            {{Kind::flag, "verbose", "Also check the Flutter project in the current folder."}},
            {},
            [](const ParsedArguments& given) {
                const TorvexPaths& paths = TorvexPaths::defaultPaths();
                const Environment environment = currentEnvironment();
                const bool verbose = given.flag("verbose");
                // A working folder that was deleted gives no project, so no engine check.
                std::error_code noFolder;
                const fs::path folder = verbose ? fs::current_path(noFolder) : fs::path();
                const auto project = verbose && !noFolder ? std::optional<fs::path>(folder) : std::nullopt;
                const auto checks = Doctor::run(paths, runningExecutable(), FlutterSDK::callerRoot(environment), project);
                // Details and fixes carry paths from the environment, shown escaped as every error is.
                for (const DoctorCheck& check : checks) {
                    Output::out(std::string(check.symbol()) + " " + check.title + ": " + visibleLines(check.detail));
                    if (check.status != DoctorCheck::Status::ok && check.fix)
                        Output::out("    \u2192 " + visibleLines(*check.fix));
                }
                if (verbose) {
                    try {
                        if (const auto client = IPCClient::connect(IPC::socketPath(paths, environment)))
                            Output::out("\u00B7 Torvex host: running (" + visibleText(client->appVersion()) + ")");
                    } catch (const TorvexError&) {
                        // an application of another version is not shown
                    }
                }
                if (!Doctor::hasFailures(checks)) {
                    Output::out("\nNo problems found.");
                    return;
                }
                Output::out("\nSome checks failed. Fix them, or run `torvex setup`.");
                throw ExitCode{1};
            }};
}

CommandSpec reportCommand() {
    return {"report",
            "Create a problem report (versions, setup checks, recent Torvex logs) to send to support.",
            "",
            true,
            {},
            {},
            [](const ParsedArguments&) {
                const fs::path zip =
                    DiagnosticReport::create(TorvexPaths::defaultPaths(), runningExecutable(),
                                             FlutterSDK::callerRoot(currentEnvironment()), {},
                                             std::chrono::system_clock::now());
                Output::out("Report: " + zip.string());
                Output::out("It contains versions, setup checks and Torvex's logs from the last week; no project source.");
                Output::out("Email it to " + std::string(DiagnosticReport::supportEmail) +
                            " with what you did and what went wrong,");
                Output::out("or open an issue at " + std::string(DiagnosticReport::issuesURL) +
                            " (don't attach anything private there: it's public).");
            }};
}

CommandSpec componentsCommand() {
    return {"components",
            "List the components Torvex uses, and whether setup has installed them.",
            "",
            true,
            {{Kind::flag, "json", "Print the manifest as JSON."}},
            {},
            [](const ParsedArguments& given) {
                if (given.flag("json")) {
                    Output::out(componentManifest());
                    return;
                }
                const TorvexPaths& paths = TorvexPaths::defaultPaths();
                for (const Component& component : Components::all()) {
                    const bool installed = component.isInstalled(paths);
                    const auto version = installed || !component.isUnavailable() ? component.shownVersion() : std::nullopt;
                    const std::string state = installed                   ? "installed"
                                              : component.isUnavailable() ? unavailableText
                                                                          : "missing";
                    Output::out(component.name + (version ? " " + *version : "") + "  [" + state + "]  " +
                                component.licence);
                }
            }};
}

} // namespace torvex::cli
