#pragma once

#include "CommandModel.h"

#include <string>
#include <string_view>

namespace torvex::cli {

// The completion script for `shell` ("bash", "zsh" or "fish") of the tree under `root`: the
// listed subcommands (and `help`), each command's options, and file names for text values.
std::string completionScript(const CommandSpec& root, std::string_view shell);

} // namespace torvex::cli
