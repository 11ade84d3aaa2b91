#include "AppConnection.h"
#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Core/Base64.h"
#include "Core/TextFile.h"
#include "Service/UnixSocket.h"

#include <filesystem>

namespace torvex::cli {
namespace fs = std::filesystem;

namespace {

using Kind = ArgumentSpec::Kind;

const std::string appNameHelp = "App name passed by the Flutter tool.";

// A path from the command line made absolute against the current folder, with "." and ".."
// taken out; links stay as they are.
std::string standardisedPath(const std::string& given) {
    fs::path path = (fs::current_path() / given).lexically_normal();
    if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();  // "a/b/" gives "a/b"
    return path.string();
}

std::optional<std::string> standardisedPath(const std::optional<std::string>& given) {
    if (!given) return std::nullopt;
    return standardisedPath(*given);
}

std::string currentFolder() { return fs::current_path().string(); }

// Refuses an output file whose folder is not there, before anything is asked of the service.
void checkOutputFolder(const std::string& file) {
    const fs::path folder = fs::path(file).parent_path();
    std::error_code error;
    if (fs::is_directory(folder, error)) return;
    const bool missing = !fs::exists(fs::symlink_status(folder, error));
    throw TorvexError(TorvexError::Kind::generic, "Could not write the screenshot to " + file + ".",
                      folder.string() + (missing ? " does not exist." : " is not a folder."),
                      "Give --output a file in a folder that exists, or create the folder first.");
}

} // namespace

CommandSpec buildCommand() {
    return {"build",
            "Build the Windows debug build of a Flutter project.",
            "Used by the Flutter tool as the custom device postBuild step, or on its own.",
            true,
            {{Kind::positional, "project",
              "Flutter project folder (default: the bundle's project, or the current folder)."},
             {Kind::option, "bundle", "Debug bundle (flutter_assets) already built by the Flutter tool."},
             {Kind::option, "app-name", "App name passed by the Flutter tool (informational)."}},
            {},
            [](const ParsedArguments& given) {
                withErrorRule([&] {
                    IPCRequest::Arguments arguments;
                    arguments.bundle = standardisedPath(given.text("bundle"));
                    arguments.project = standardisedPath(given.text("project"));
                    if (!arguments.project) arguments.project = arguments.bundle ? *arguments.bundle : currentFolder();
                    const auto result = requestApp(AppConnection::current(), "build", arguments, true);
                    if (result) Output::out(*result);
                });
            }};
}

CommandSpec installCommand() {
    return {"install",
            "Copy the built app into Torvex's Windows environment.",
            "",
            true,
            {{Kind::option, "app-name", appNameHelp, true},
             {Kind::option, "bundle",
              "Any path inside the project, e.g. its build/flutter_assets (default: current folder)."}},
            {},
            [](const ParsedArguments& given) {
                withErrorRule([&] {
                    IPCRequest::Arguments arguments;
                    arguments.bundle = standardisedPath(given.text("bundle")).value_or(currentFolder());
                    arguments.appName = given.text("app-name");
                    requestApp(AppConnection::current(), "install", arguments, false);
                });
            }};
}

CommandSpec uninstallCommand() {
    return {"uninstall",
            "Remove an app from Torvex's Windows environment.",
            "",
            true,
            {{Kind::option, "app-name", appNameHelp, true}},
            {},
            [](const ParsedArguments& given) {
                withErrorRule([&] {
                    IPCRequest::Arguments arguments;
                    arguments.appName = given.text("app-name");
                    requestApp(AppConnection::current(), "uninstall", arguments, false);
                });
            }};
}

CommandSpec runCommand() {
    return {"run",
            "Run an installed app in the simulator until it exits or this command is stopped.",
            "Prints the app's output unchanged, including the Dart VM service line.",
            true,
            {{Kind::option, "app-name", appNameHelp, true},
             {Kind::option, "engine-options",
              "The Flutter tool's ${engineOptions}, e.g. \"--enable-dart-profiling=true\"."}},
            {},
            [](const ParsedArguments& given) {
                withErrorRule([&] {
                    IPCRequest::Arguments arguments;
                    arguments.appName = given.text("app-name");
                    arguments.engineOptions = given.text("engine-options").value_or("");
                    const int status = runExitStatus(requestApp(AppConnection::current(), "run", arguments, true));
                    if (status != 0) throw ExitCode{status};
                });
            }};
}

CommandSpec screenshotCommand() {
    return {"screenshot",
            "Capture the simulator window as PNG.",
            "",
            true,
            {{Kind::flag, "stdout", "Write base64-encoded PNG to stdout (what the Flutter tool expects)."},
             {Kind::option, "output", "Write the PNG to this file."}},
            {},
            [](const ParsedArguments& given) {
                // A missing folder fails as a file that cannot be written does: "Error: ", status 1.
                const auto output = standardisedPath(given.text("output"));
                if (output) checkOutputFolder(*output);
                withErrorRule([&] {
                    const std::string png =
                        requestApp(AppConnection::current(), "screenshot", {}, false).value_or("");
                    if (given.flag("stdout")) Output::write(png);
                    if (output) {
                        if (const auto bytes = decodedBase64(png)) writeFileAtomically(*output, *bytes);
                    }
                });
            }};
}

CommandSpec openCommand() {
    return {"open",
            "Build and run a Flutter project in the simulator without an IDE.",
            "",
            true,
            {{Kind::positional, "project", "Flutter project folder (default: current folder)."}},
            {},
            [](const ParsedArguments& given) {
                withErrorRule([&] {
                    IPCRequest::Arguments arguments;
                    arguments.project = standardisedPath(given.text("project")).value_or(currentFolder());
                    requestApp(AppConnection::current(), "open", arguments, true);
                });
            }};
}

CommandSpec stopCommand() {
    return {"stop", "Stop the app running in the simulator.", "", true, {}, {}, [](const ParsedArguments&) {
                withErrorRule([] { requestApp(AppConnection::current(), "stop", {}, false); });
            }};
}

CommandSpec statusCommand() {
    return {"status", "Show the app state, active profile and running app.", "", true, {}, {},
            [](const ParsedArguments&) {
                withErrorRule([] {
                    const AppConnection connection = AppConnection::current();
                    // A path that cannot be a socket is said as such, not as a service that is not running.
                    (void)UnixSocket::address(connection.socketPath().string());
                    const auto client = connectIfRunning(connection);
                    if (!client) {
                        Output::out(R"({"status":"Torvex is not running"})");
                        return;
                    }
                    const IPCRequest request("status", withFlutterRoot({}, connection.environment));
                    // The service answers from memory at once: a peer that stays silent is no host at work.
                    constexpr std::chrono::seconds patience(10);
                    Output::out(client->send(request, [](const IPCMessage&) {}, patience).value_or("{}"));
                });
            }};
}

} // namespace torvex::cli
