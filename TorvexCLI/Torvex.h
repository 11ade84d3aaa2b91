#pragma once

#include "CommandModel.h"
#include "Core/TorvexError.h"

#include <filesystem>

#include <string>
#include <vector>

namespace torvex::cli {

// The command tree of torvex, built once.
const CommandSpec& rootCommand();

// Runs one command line (the arguments without the program name) against `root`: the command's
// body, its help, the version or a completion script. Answers the process's exit status: 64 for
// a command line the parser refuses (message and usage on standard error), the status a command
// chose, and 1 with "Error: " and the error's what/why/fix for any other error that escapes a
// command. When a write to standard output failed, one line on standard error says so, and a
// status of 0 becomes 1.
int run(const CommandSpec& root, const std::vector<std::string>& words);

// A file-system error of the library in the what/why/fix form: "Could not create a temporary
// file.", the path and the system's reason, and a fix for the usual reasons (a full disk, a
// read-only file system, missing rights).
TorvexError fileSystemError(const std::filesystem::filesystem_error& error);

} // namespace torvex::cli
