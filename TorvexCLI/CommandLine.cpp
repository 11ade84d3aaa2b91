#include "CommandLine.h"

#include "DecimalInteger.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <set>

namespace torvex::cli {

namespace {

constexpr std::string_view completionOption = "--generate-completion-script";

Invocation usageError(CommandPath path, std::string why) {
    return Invocation{Invocation::Action::usageError, std::move(path), {}, std::move(why)};
}

// A word that the parser takes for an option rather than for a value. "-" alone is a value.
bool looksLikeOption(const std::string& word) { return word.size() > 1 && word.front() == '-'; }

// Whether `word` is a word the parser takes for an option of `command` (or of every command).
bool isOptionOf(const CommandSpec& command, bool atRoot, const std::string& word) {
    if (word == "-h" || word == "--help" || word == "--version" || word == "--") return true;
    if (!word.starts_with("--")) return false;
    const std::string name = word.substr(2, word.find('=') == std::string::npos ? std::string::npos : word.find('=') - 2);
    return command.option(name) != nullptr || (atRoot && "--" + name == completionOption);
}

std::vector<const ArgumentSpec*> positionalsOf(const CommandSpec& command) {
    std::vector<const ArgumentSpec*> found;
    for (const auto& argument : command.arguments)
        if (argument.kind == ArgumentSpec::Kind::positional) found.push_back(&argument);
    return found;
}

// "no arguments", "only <project>", "only <host-port> <device-port>".
std::string expectedWords(const std::vector<const ArgumentSpec*>& positionals) {
    if (positionals.empty()) return "no arguments";
    std::string text = "only";
    for (const ArgumentSpec* argument : positionals) text += " <" + argument->name + ">";
    return text;
}

std::string notAnOption(const std::string& word, const CommandPath& path) {
    return "'" + word + "' is not an option of '" + commandName(path) + "'.";
}

// "--app-name" or "<device-port>".
std::string requiredLabel(const ArgumentSpec& argument) {
    return argument.kind == ArgumentSpec::Kind::positional ? "<" + argument.name + ">" : "--" + argument.name;
}

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
    // What is wrong with the line, in the order of the words; help or version later on still win.
    std::vector<std::string> problems;
    std::set<std::string> given;          // the names of the arguments given, values or not
    std::size_t positionals = 0;          // positional words taken by the command
    bool positionalSeen = false;
    bool lost = false;                    // past an unknown subcommand: the words are not its
    const auto takePositional = [&](const std::string& word) {
        const CommandSpec& command = *path.back();
        positionalSeen = true;
        const std::vector<const ArgumentSpec*> expected = positionalsOf(command);
        if (positionals >= expected.size()) {
            problems.push_back(looksLikeOption(word) ? notAnOption(word, path)
                                                     : "'" + word + "' is not expected: '" + commandName(path) +
                                                           "' takes " + expectedWords(expected) + ".");
            return false;
        }
        given.insert(expected[positionals++]->name);
        return true;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const CommandSpec& command = *path.back();
        if (word == "-h" || word == "--help") return Invocation{Invocation::Action::help, path};
        if (word == "--version") return Invocation{Invocation::Action::version, path};
        if (lost) continue;
        if (word == "--") {
            normalised.push_back(word);
            for (++i; i < words.size(); ++i) {
                if (takePositional(words[i])) normalised.push_back(words[i]);
            }
            break;
        }
        if (word.starts_with("--")) {
            const std::size_t equals = word.find('=');
            const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const ArgumentSpec* argument = command.option(name);
            const bool completion = path.size() == 1 && "--" + name == completionOption;
            if (completion || (argument != nullptr && argument->kind == ArgumentSpec::Kind::option)) {
                given.insert(name);
                std::string value;
                if (equals != std::string::npos) {
                    value = word.substr(equals + 1);
                } else if (i + 1 < words.size() && !looksLikeOption(words[i + 1])) {
                    value = words[++i];
                } else {
                    std::string problem = "Missing value for '--" + name + " <" +
                                          (completion ? std::string("shell") : name) + ">'";
                    // The next word was meant as the value when it is no option of the command.
                    if (i + 1 < words.size() && !isOptionOf(command, path.size() == 1, words[i + 1])) {
                        const std::string& meant = words[++i];
                        problem += ": '" + meant + "' is taken for an option; give a value that begins with '-' as '--" +
                                   name + "=" + meant + "'";
                    }
                    problems.push_back(problem + ".");
                    continue;
                }
                if (completion) {
                    const Invocation invocation = completionFor(path, value);
                    if (invocation.action == Invocation::Action::completion) return invocation;
                    problems.push_back(invocation.detail);
                    continue;
                }
                normalised.push_back("--" + name);
                normalised.push_back(value);
                continue;
            }
            if (argument != nullptr && equals != std::string::npos) {
                problems.push_back("The flag '--" + name + "' takes no value.");
                continue;
            }
            if (argument == nullptr) {
                problems.push_back(notAnOption(word, path));
                continue;
            }
            given.insert(name);
        } else if (path.size() == 1 && word == "help") {
            return helpFor(root, std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end()));
        } else if (const CommandSpec* subcommand = positionalSeen ? nullptr : command.subcommand(word)) {
            path.push_back(subcommand);
            positionals = 0;
        } else if (!command.subcommands.empty() && !positionalSeen) {
            problems.push_back(looksLikeOption(word) ? notAnOption(word, path)
                                                     : "Unknown subcommand '" + word + "' of '" + commandName(path) + "'.");
            lost = true;
            continue;
        } else if (!takePositional(word)) {
            continue;
        }
        normalised.push_back(word);
    }
    if (!lost) {
        const CommandSpec& command = *path.back();
        for (const auto& argument : command.arguments) {
            const bool isGiven = given.count(argument.name) > 0;
            if (argument.required && !isGiven) problems.push_back(requiredLabel(argument) + " is required.");
            if (!isGiven) continue;
            for (const auto& other : argument.excludes) {
                if (given.count(other) > 0)
                    problems.push_back("'--" + argument.name + "' and '--" + other +
                                       "' cannot be given together: give one of them.");
            }
        }
    }
    if (!problems.empty()) {
        std::string why;
        for (const auto& problem : problems) why += (why.empty() ? "" : " ") + problem;
        return usageError(path, why);
    }

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
