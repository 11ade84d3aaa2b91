#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace torvex::cli {

// One input of a command: an option with a value (`--name <name>`, or `--name=<value>`), a flag
// (`--name`), or a positional argument (`<name>`). Names are in kebab case, without dashes.
struct ArgumentSpec {
    enum class Kind { option, flag, positional };
    enum class Value { text, integer };

    Kind kind;
    std::string name;
    std::string help = {};
    bool required = false;
    Value value = Value::text;
    // What completion offers for the value, in place of file names (text) or nothing (integers):
    // these words, or the ids of the profiles.
    std::vector<std::string> choices = {};
    bool completesProfileIDs = false;
    // The names of the arguments that cannot be given together with this one.
    std::vector<std::string> excludes = {};
};

// The values one command line gave a command. Integers were checked while parsing.
struct ParsedArguments {
    std::map<std::string, std::string> values;  // options and positionals that were given
    std::set<std::string> flags;                // flags that were given

    std::optional<std::string> text(const std::string& name) const;
    std::optional<std::int64_t> integer(const std::string& name) const;
    bool flag(const std::string& name) const { return flags.count(name) > 0; }

    bool operator==(const ParsedArguments&) const = default;
};

// A command's body. It ends the process with status 0 by returning; ExitCode chooses another.
using CommandBody = std::function<void(const ParsedArguments&)>;

// One command of the tree. A command without a body prints its help.
struct CommandSpec {
    std::string name;
    std::string abstract;
    std::string discussion = {};
    bool listed = true;  // false: left out of help and completion, still runnable
    std::vector<ArgumentSpec> arguments = {};
    std::vector<CommandSpec> subcommands = {};
    CommandBody body = {};

    const CommandSpec* subcommand(std::string_view word) const;
    const ArgumentSpec* option(std::string_view name) const;  // an option or a flag
};

// The commands from the root to the one a command line reached.
using CommandPath = std::vector<const CommandSpec*>;

// "torvex profile set"
std::string commandName(const CommandPath& path);
// "torvex run --app-name <app-name> [--engine-options <engine-options>]"; a group gives
// "torvex profile <subcommand>".
std::string usageLine(const CommandPath& path);
// The whole help of the last command of the path: overview, discussion, usage, arguments,
// options and the listed subcommands.
std::string helpText(const CommandPath& path);

} // namespace torvex::cli
