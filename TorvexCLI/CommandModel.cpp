#include "CommandModel.h"

#include "DecimalInteger.h"

namespace torvex::cli {

std::optional<std::string> ParsedArguments::text(const std::string& name) const {
    const auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

std::optional<std::int64_t> ParsedArguments::integer(const std::string& name) const {
    const auto value = text(name);
    return value ? decimalInteger(*value) : std::nullopt;
}

const CommandSpec* CommandSpec::subcommand(std::string_view word) const {
    for (const auto& command : subcommands) {
        if (command.name == word) return &command;
    }
    return nullptr;
}

const ArgumentSpec* CommandSpec::option(std::string_view name) const {
    for (const auto& argument : arguments) {
        if (argument.kind != ArgumentSpec::Kind::positional && argument.name == name) return &argument;
    }
    return nullptr;
}

std::string commandName(const CommandPath& path) {
    std::string name;
    for (const CommandSpec* command : path) name += (name.empty() ? "" : " ") + command->name;
    return name;
}

namespace {

// "<name>", "--name <name>" or "--name".
std::string label(const ArgumentSpec& argument) {
    switch (argument.kind) {
    case ArgumentSpec::Kind::positional:
        return "<" + argument.name + ">";
    case ArgumentSpec::Kind::option:
        return "--" + argument.name + " <" + argument.name + ">";
    case ArgumentSpec::Kind::flag:
        return "--" + argument.name;
    }
    return argument.name;
}

// One entry of a help section: the label, then its text from column 26 (on a line of its own
// when the label reaches that far).
std::string entry(const std::string& name, const std::string& text) {
    constexpr std::size_t column = 26;
    std::string line = "  " + name;
    if (text.empty()) return line + "\n";
    if (line.size() + 2 > column) return line + "\n" + std::string(column, ' ') + text + "\n";
    return line + std::string(column - line.size(), ' ') + text + "\n";
}

} // namespace

std::string usageLine(const CommandPath& path) {
    std::string usage = commandName(path);
    const CommandSpec& command = *path.back();
    if (!command.subcommands.empty()) return usage + " <subcommand>";
    for (const auto& argument : command.arguments) {
        const bool optional = !argument.required || argument.kind == ArgumentSpec::Kind::flag;
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on `"[" + text`.
        usage += optional ? " [" : " ";
        usage += label(argument);
        if (optional) usage += ']';
    }
    return usage;
}

std::string helpText(const CommandPath& path) {
    const CommandSpec& command = *path.back();
    std::string text = "OVERVIEW: " + command.abstract + "\n\n";
    if (!command.discussion.empty()) text += command.discussion + "\n\n";
    text += "USAGE: " + usageLine(path) + "\n\n";

    std::string arguments;
    std::string options;
    for (const auto& argument : command.arguments) {
        std::string& section = argument.kind == ArgumentSpec::Kind::positional ? arguments : options;
        section += entry(label(argument), argument.help);
    }
    options += entry("--version", "Show the version.");
    if (path.size() == 1) options += entry("--generate-completion-script <shell>", "Print the completion script for bash, zsh or fish.");
    options += entry("-h, --help", "Show help information.");
    if (!arguments.empty()) text += "ARGUMENTS:\n" + arguments + "\n";
    text += "OPTIONS:\n" + options;

    if (!command.subcommands.empty()) {
        text += "\nSUBCOMMANDS:\n";
        for (const auto& subcommand : command.subcommands) {
            if (subcommand.listed) text += entry(subcommand.name, subcommand.abstract);
        }
        std::string group = commandName(path);
        group = group.find(' ') == std::string::npos ? "" : group.substr(group.find(' ') + 1) + " ";
        text += "\n  See '" + path.front()->name + " help " + group + "<subcommand>' for detailed help.\n";
    }
    return text;
}

} // namespace torvex::cli
