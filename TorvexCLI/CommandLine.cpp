#include "CommandLine.h"

#include "DecimalInteger.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>

namespace torvex::cli {

namespace {

constexpr std::string_view completionOption = "--generate-completion-script";

Invocation usageError(CommandPath path, std::string why) {
    return Invocation{Invocation::Action::usageError, std::move(path), {}, std::move(why)};
}

// A word that the parser takes for an option rather than for a value. "-" alone is a value.
bool looksLikeOption(const std::string& word) { return word.size() > 1 && word.front() == '-'; }

// The CLI11 options of one command, by argument name.
using OptionTable = std::map<const CommandSpec*, std::map<std::string, CLI::Option*>>;

void configure(CLI::App& app, const CommandSpec& command, OptionTable& table) {
    app.set_help_flag();  // help and version are answered before CLI11 runs
    if (!command.subcommands.empty()) app.require_subcommand(0, 1);
    for (const auto& argument : command.arguments) {
        CLI::Option* option = nullptr;
        switch (argument.kind) {
        case ArgumentSpec::Kind::positional:
            option = app.add_option(argument.name);
            break;
        case ArgumentSpec::Kind::option:
            option = app.add_option("--" + argument.name);
            break;
        case ArgumentSpec::Kind::flag:
            option = app.add_flag("--" + argument.name);
            break;
        }
        if (argument.required) option->required();
        if (argument.kind != ArgumentSpec::Kind::flag) option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        if (argument.value == ArgumentSpec::Value::integer) {
            option->check(CLI::Validator(
                [](std::string& text) {
                    return decimalInteger(text) ? std::string() : "'" + text + "' is not a whole number";
                },
                "INTEGER"));
        }
        table[&command][argument.name] = option;
    }
    for (const auto& subcommand : command.subcommands) {
        configure(*app.add_subcommand(subcommand.name, subcommand.abstract), subcommand, table);
    }
}

// `help`, `help profile`, `help profile set`.
Invocation helpFor(const CommandSpec& root, const std::vector<std::string>& words) {
    CommandPath path{&root};
    for (const auto& word : words) {
        const CommandSpec* next = path.back()->subcommand(word);
        if (next == nullptr) return usageError(path, "Unknown subcommand '" + word + "'.");
        path.push_back(next);
    }
    return Invocation{Invocation::Action::help, std::move(path)};
}

Invocation completionFor(const CommandPath& path, const std::string& shell) {
    if (std::find(completionShells.begin(), completionShells.end(), shell) == completionShells.end())
        return usageError(path, "The value '" + shell + "' is invalid for '" + std::string(completionOption) +
                                    " <shell>'. Use bash, zsh or fish.");
    return Invocation{Invocation::Action::completion, path, {}, shell};
}

} // namespace

Invocation parseCommandLine(const CommandSpec& root, const std::vector<std::string>& words) {
    CommandPath path{&root};
    std::vector<std::string> normalised;  // every option value as a separate word, which CLI11 takes as is
    std::optional<Invocation> fault;      // the first fault found; help or version later on still win
    bool positionalSeen = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const CommandSpec& command = *path.back();
        if (word == "--") {
            normalised.insert(normalised.end(), words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
            break;
        }
        if (word == "-h" || word == "--help") return Invocation{Invocation::Action::help, path};
        if (word == "--version") return Invocation{Invocation::Action::version, path};
        if (word.starts_with("--")) {
            const std::size_t equals = word.find('=');
            const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const ArgumentSpec* argument = command.option(name);
            const bool completion = path.size() == 1 && "--" + name == completionOption;
            if (completion || (argument != nullptr && argument->kind == ArgumentSpec::Kind::option)) {
                std::string value;
                if (equals != std::string::npos) {
                    value = word.substr(equals + 1);
                } else if (i + 1 < words.size() && !looksLikeOption(words[i + 1])) {
                    value = words[++i];
                } else {
                    if (!fault) fault = usageError(path, "Missing value for '--" + name + " <" +
                                                             (completion ? std::string("shell") : name) + ">'.");
                    continue;
                }
                if (completion) {
                    const Invocation invocation = completionFor(path, value);
                    if (invocation.action == Invocation::Action::completion) return invocation;
                    if (!fault) fault = invocation;
                    continue;
                }
                normalised.push_back("--" + name);
                normalised.push_back(value);
                continue;
            }
            if (argument != nullptr && equals != std::string::npos) {
                if (!fault) fault = usageError(path, "The flag '--" + name + "' takes no value.");
                continue;
            }
        } else if (path.size() == 1 && word == "help") {
            return helpFor(root, std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end()));
        } else if (const CommandSpec* subcommand = positionalSeen ? nullptr : command.subcommand(word)) {
            path.push_back(subcommand);
        } else {
            positionalSeen = true;  // later words are no subcommands
        }
        normalised.push_back(word);
    }
    if (fault) return *fault;

    CLI::App app(root.abstract, root.name);
    OptionTable table;
    configure(app, root, table);
    std::reverse(normalised.begin(), normalised.end());  // CLI11 takes its vector back to front
    try {
        app.parse(normalised);
    } catch (const CLI::ParseError& error) {
        return usageError(path, error.what());
    }

    Invocation invocation{Invocation::Action::run, path};
    const CommandSpec& command = *path.back();
    for (const auto& argument : command.arguments) {
        const CLI::Option* option = table[&command][argument.name];
        if (option->count() == 0) continue;
        if (argument.kind == ArgumentSpec::Kind::flag) {
            invocation.arguments.flags.insert(argument.name);
        } else if (!option->results().empty()) {
            invocation.arguments.values[argument.name] = option->results().back();  // the last one given wins
        }
    }
    return invocation;
}

} // namespace torvex::cli
