#pragma once

#include "CommandModel.h"

#include <string>
#include <vector>

namespace torvex::cli {

// The command tree of torvex, built once.
const CommandSpec& rootCommand();

// Runs one command line (the arguments without the program name) against `root`: the command's
// body, its help, the version or a completion script. Answers the process's exit status: 64 for
// a command line the parser refuses (message and usage on standard error), the status a command
// chose, and 1 with "Error: " and the text for any other error that escapes a command.
int run(const CommandSpec& root, const std::vector<std::string>& words);

} // namespace torvex::cli
