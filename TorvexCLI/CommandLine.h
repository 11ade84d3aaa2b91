#pragma once

#include "CommandModel.h"

#include <string>
#include <vector>

namespace torvex::cli {

// What one command line asks for.
struct Invocation {
    enum class Action {
        run,         // run path.back() with `arguments` (a command without a body shows its help)
        help,        // show the help of path.back()
        version,     // show the version
        completion,  // print the completion script for the shell in `detail`
        usageError,  // the line is wrong: `detail` says why; path.back() is the command it reached
    };

    Action action;
    CommandPath path;
    ParsedArguments arguments = {};
    std::string detail = {};
};

// The shells `--generate-completion-script` writes for.
inline const std::vector<std::string> completionShells{"bash", "zsh", "fish"};

// Parses `words` (the arguments without the program name) against the tree under `root`, with
// CLI11 as the engine. Conventions it adds: "-h"/"--help" and "--version" on every command, where
// they win over every other fault; a `help` subcommand ("help profile set"); integer values read
// by decimalInteger; a separate value word that begins with "-" is taken for an option, so a
// value like "--x" is given as "--name=--x", and "--name=" gives the empty text; the root takes
// "--generate-completion-script <shell>". Words after "--" are positional. A usage error names
// every word it refuses, in the order given, with the reason (no such option, more arguments than
// the command takes, a value taken for an option, arguments that exclude each other), then what
// is missing.
Invocation parseCommandLine(const CommandSpec& root, const std::vector<std::string>& words);

} // namespace torvex::cli
