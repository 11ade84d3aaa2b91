#pragma once

#include "CommandModel.h"

#include <optional>
#include <string>

namespace torvex::cli {

// The commands of torvex, each with its inputs, texts and body.

// The running program with its links resolved, as the custom device and the doctor name it.
std::optional<std::string> runningExecutable();

// Remote: the service in the desktop application does the work.
CommandSpec buildCommand();
CommandSpec installCommand();
CommandSpec uninstallCommand();
CommandSpec runCommand();
CommandSpec screenshotCommand();
CommandSpec openCommand();
CommandSpec stopCommand();
CommandSpec statusCommand();

// Local, for the Flutter tool.
CommandSpec pingCommand();
CommandSpec forwardCommand();

// `profile` and its five subcommands.
CommandSpec profileCommand();

CommandSpec setupCommand();

CommandSpec doctorCommand();
CommandSpec reportCommand();
CommandSpec componentsCommand();

CommandSpec updateCheckCommand();
CommandSpec versionCommand();

} // namespace torvex::cli
