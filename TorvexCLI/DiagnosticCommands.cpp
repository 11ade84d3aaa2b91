#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Build/FlutterSDK.h"
#include "Core/Platform/ProcessInfo.h"
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

// The compact manifest, keys sorted, every "/" written as "\/" as the system serialiser does.
std::string componentManifest() {
    nlohmann::json manifest = nlohmann::json::array();
    for (const Component& component : Components::all()) {
        manifest.push_back({{"id", component.id},
                            {"name", component.name},
                            {"version", component.version},
                            {"licence", component.licence},
                            {"url", component.url},
                            {"sha256", component.sha256},
                            {"size", std::to_string(component.size)}});
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
                const auto checks = Doctor::run(paths, runningExecutable(), FlutterSDK::callerRoot(environment),
                                                verbose ? std::optional<fs::path>(fs::current_path()) : std::nullopt);
                for (const DoctorCheck& check : checks) {
                    Output::out(std::string(check.symbol()) + " " + check.title + ": " + check.detail);
                    if (check.status != DoctorCheck::Status::ok && check.fix) Output::out("    \u2192 " + *check.fix);
                }
                if (verbose) {
                    try {
                        if (const auto client = IPCClient::connect(IPC::socketPath(paths, environment)))
                            Output::out("\u00B7 Torvex app: running (" + client->appVersion() + ")");
                    } catch (const TorvexError&) {
                        // an application of another version is not shown
                    }
                }
                if (!Doctor::hasFailures(checks)) {
                    Output::out("\nNo problems found.");
                    return;
                }
                Output::out("\nSome checks failed. Fix them, or open Torvex to run setup.");
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
                Output::out("In the app: Help \u25B8 Report a Problem\u2026 does this for you.");
            }};
}

CommandSpec componentsCommand() {
    return {"components",
            "List the components Torvex downloads during setup.",
            "",
            true,
            {{Kind::flag, "json", "Print the manifest as JSON (used by Scripts/fetch-toolchain.sh)."}},
            {},
            [](const ParsedArguments& given) {
                if (given.flag("json")) {
                    Output::out(componentManifest());
                    return;
                }
                const TorvexPaths& paths = TorvexPaths::defaultPaths();
                for (const Component& component : Components::all()) {
                    Output::out(component.name + " " + component.shownVersion() + "  [" +
                                (component.isInstalled(paths) ? "installed" : "missing") + "]  " + component.licence);
                }
            }};
}

} // namespace torvex::cli
