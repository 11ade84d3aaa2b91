#include "Torvex.h"

#include "CommandLine.h"
#include "Commands.h"
#include "Completion.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Core/Version.h"
#include "Core/VisibleText.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>

namespace torvex::cli {

const CommandSpec& rootCommand() {
    static const CommandSpec* root = new CommandSpec{
        "torvex",
        "Test your Flutter apps on Windows, right on Linux.",
        "",
        true,
        {},
        {buildCommand(), installCommand(), uninstallCommand(), runCommand(), pingCommand(), forwardCommand(),
         screenshotCommand(), openCommand(), stopCommand(), statusCommand(), profileCommand(), setupCommand(),
         doctorCommand(), reportCommand(), componentsCommand(), updateCheckCommand(), versionCommand()}};
    return *root;
}

namespace {

void showHelp(const CommandPath& path) {
    std::string text = helpText(path);
    if (text.ends_with('\n')) text.pop_back();
    Output::out(text);
}

int runBody(const Invocation& invocation) {
    const CommandSpec& command = *invocation.path.back();
    if (!command.body) {
        showHelp(invocation.path);
        return 0;
    }
    try {
        command.body(invocation.arguments);
        return 0;
    } catch (const ExitCode& exit) {
        return exit.status;
    } catch (const TorvexError& error) {
        Output::err("Error: " + shownError(error));
    } catch (const Cancelled&) {
        Output::err("Error: Cancelled.");
    } catch (const std::filesystem::filesystem_error& error) {
        Output::err("Error: " + shownError(fileSystemError(error)));
    } catch (const std::exception& error) {
        Output::err("Error: " + shownError(TorvexError(
                                    TorvexError::Kind::generic, "torvex failed.", error.what(),
                                    "Try again; if it keeps failing, run `torvex report` and send the report.")));
    }
    return 1;
}

int runAction(const CommandSpec& root, const Invocation& invocation) {
    switch (invocation.action) {
    case Invocation::Action::run:
        return runBody(invocation);
    case Invocation::Action::help:
        showHelp(invocation.path);
        return 0;
    case Invocation::Action::version:
        Output::out(TorvexVersion::current());
        return 0;
    case Invocation::Action::completion:
        Output::write(completionScript(root, invocation.detail));
        return 0;
    case Invocation::Action::usageError:
        Output::err("Error: " + visibleLines(invocation.detail));
        Output::err("Usage: " + usageLine(invocation.path));
        Output::err("  See '" + commandName(invocation.path) + " --help' for more information.");
        return usageExitStatus;
    }
    return 1;
}

} // namespace

TorvexError fileSystemError(const std::filesystem::filesystem_error& error) {
    // libstdc++ words it "filesystem error: <operation>: <reason> [<path>] [<path>]".
    std::string operation = error.what();
    if (operation.starts_with("filesystem error: ")) operation.erase(0, 18);
    const std::string reason = error.code().message();
    if (const auto end = operation.find(": " + reason); end != std::string::npos) operation.resize(end);
    if (operation.starts_with("cannot ")) operation = "Could not " + operation.substr(7);
    if (!operation.empty()) operation[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(operation[0])));
    const std::string path = error.path1().empty() ? "" : error.path1().string();
    std::string fix = path.empty() ? "Check the folders Torvex uses, then try again."
                                   : "Check " + path + " and the folder that holds it, then try again.";
    switch (error.code().value()) {
    case ENOSPC:
    case EDQUOT: fix = "Free up disk space, then try again."; break;
    case EROFS:
        fix = "Torvex writes to a read-only file system there: make it writable, or set TORVEX_SUPPORT_DIR, "
              "TORVEX_CACHES_DIR and TORVEX_LOGS_DIR to writable folders.";
        break;
    case EACCES:
    case EPERM: fix = "Give yourself the right to write to " + (path.empty() ? "it" : path) + ", then try again."; break;
    default: break;
    }
    const std::string why = (path.empty() ? "" : path + ": ") + reason + ".";
    return TorvexError(TorvexError::Kind::generic, operation.empty() ? "A file operation failed." : operation + ".",
                       why, fix);
}

int run(const CommandSpec& root, const std::vector<std::string>& words) {
    const int status = runAction(root, parseCommandLine(root, words));
    // As Unix tools do: output that could not be written is a failure, said in one line.
    if (const int failure = Output::standardOutputFailure(); failure != 0) {
        Output::err("error: could not write to standard output: " + std::string(std::strerror(failure)) + ".");
        return status == 0 ? 1 : status;
    }
    return status;
}

} // namespace torvex::cli
