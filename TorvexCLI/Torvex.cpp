#include "Torvex.h"

#include "CommandLine.h"
#include "Commands.h"
#include "Completion.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Core/Version.h"

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
        Output::err("Error: " + error.description());
    } catch (const Cancelled&) {
        Output::err("Error: Cancelled.");
    } catch (const std::exception& error) {
        Output::err(std::string("Error: ") + error.what());
    }
    return 1;
}

} // namespace

int run(const CommandSpec& root, const std::vector<std::string>& words) {
    const Invocation invocation = parseCommandLine(root, words);
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
        Output::err("Error: " + invocation.detail);
        Output::err("Usage: " + usageLine(invocation.path));
        Output::err("  See '" + commandName(invocation.path) + " --help' for more information.");
        return usageExitStatus;
    }
    return 1;
}

} // namespace torvex::cli
