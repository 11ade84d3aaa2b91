#include "Completion.h"

#include <functional>

namespace torvex::cli {

namespace {

// "torvex help": the words that ask for a command's help. (Appended: GCC 12 at -O3 warns falsely,
// -Wrestrict, on `text + " help"` and `"[" + text`.)
std::string helpWords(const CommandSpec& root) {
    std::string words = root.name;
    words += " help";
    return words;
}

using Kind = ArgumentSpec::Kind;

constexpr std::string_view helpAbstract = "Show subcommand help information.";

// Every command of the tree that completion offers, parents before children, with its words
// from the root ("torvex profile set").
struct Node {
    std::string words;
    const CommandSpec* command;
};

std::vector<Node> nodes(const CommandSpec& root) {
    std::vector<Node> result;
    std::function<void(const CommandSpec&, const std::string&)> visit = [&](const CommandSpec& command,
                                                                             const std::string& words) {
        result.push_back({words, &command});
        for (const auto& subcommand : command.subcommands) {
            if (subcommand.listed) visit(subcommand, words + " " + subcommand.name);
        }
    };
    visit(root, root.name);
    return result;
}

std::vector<const CommandSpec*> listedSubcommands(const CommandSpec& command) {
    std::vector<const CommandSpec*> result;
    for (const auto& subcommand : command.subcommands) {
        if (subcommand.listed) result.push_back(&subcommand);
    }
    return result;
}

// The names of the listed subcommands, separated by spaces.
std::string subcommandNames(const CommandSpec& command) {
    std::string names;
    for (const CommandSpec* subcommand : listedSubcommands(command)) names += (names.empty() ? "" : " ") + subcommand->name;
    return names;
}

// `text` as one single-quoted sh word.
std::string shQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// `text` as one single-quoted fish word.
std::string fishQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "'";
}

// A function name for the command's words: "_torvex_profile_set".
std::string functionName(const std::string& words) {
    std::string name = "_";
    for (const char c : words) name += c == ' ' || c == '-' ? '_' : c;
    return name;
}

bool takesFiles(const ArgumentSpec& argument) {
    return argument.value == ArgumentSpec::Value::text && argument.choices.empty() && !argument.completesProfileIDs;
}

// The words of `choices` separated by spaces.
std::string joined(const std::vector<std::string>& choices) {
    std::string words;
    for (const auto& choice : choices) words += (words.empty() ? "" : " ") + choice;
    return words;
}

// The sh pipeline that turns the lines of `profile list` into the profile ids: each line is the
// mark and a space, the id, two spaces and the rest.
const std::string idsFromList = "profile list 2>/dev/null | sed -e 's/^..//' -e 's/  .*//'";

// File names that begin with the word being completed: as the whole answer, or added to it.
const std::string bashFiles = "mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")";
const std::string bashMoreFiles = "mapfile -t -O \"${#COMPREPLY[@]}\" COMPREPLY < <(compgen -f -- \"$cur\")";

std::string bashScript(const CommandSpec& root) {
    const std::vector<Node> all = nodes(root);
    const std::string function = functionName(root.name);
    // The profile ids, from the torvex being completed (its first word, "~" expanded).
    std::string script = "# bash completion for " + root.name + "\n" + function + "_profile_ids() {\n" +
                         "    \"${COMP_WORDS[0]/#\\~/$HOME}\" " + idsFromList + "\n}\n" + function + "() {\n" +
                         "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n" +
                         "    local command=" + root.name + " i\n" +
                         "    for ((i = 1; i < COMP_CWORD; i++)); do\n" +
                         "        case \"$command ${COMP_WORDS[i]}\" in\n";
    std::string commands;
    for (const Node& node : all) {
        if (node.command == &root) continue;
        if (!commands.empty()) commands += '|';
        commands += shQuoted(node.words);
    }
    commands += "|" + shQuoted(helpWords(root));
    script += "            " + commands + ") command=\"$command ${COMP_WORDS[i]}\" ;;\n";
    script += "        esac\n    done\n    COMPREPLY=()\n    case \"$command\" in\n";

    for (const Node& node : all) {
        const CommandSpec& command = *node.command;
        std::string words = subcommandNames(command);
        if (&command == &root) words += " help";
        if (!words.empty()) words += " ";
        std::string files;
        std::string silent;
        std::string chosen;                   // "--theme) …words… ;;" lines
        std::string positional;               // what the positional arguments add
        for (const auto& argument : command.arguments) {
            if (argument.kind == Kind::positional) {
                if (!positional.empty()) continue;
                if (argument.completesProfileIDs)
                    positional = "mapfile -t -O \"${#COMPREPLY[@]}\" COMPREPLY < <(compgen -W \"$(" + function +
                                 "_profile_ids)\" -- \"$cur\")";
                else if (!argument.choices.empty())
                    positional = "mapfile -t -O \"${#COMPREPLY[@]}\" COMPREPLY < <(compgen -W " +
                                 shQuoted(joined(argument.choices)) + " -- \"$cur\")";
                else if (takesFiles(argument))
                    positional = bashMoreFiles;
                continue;
            }
            words += "--" + argument.name + " ";
            if (argument.kind != Kind::option) continue;
            if (!argument.choices.empty()) {
                chosen += "                --" + argument.name + ") mapfile -t COMPREPLY < <(compgen -W " +
                          shQuoted(joined(argument.choices)) + " -- \"$cur\"); return ;;\n";
                continue;
            }
            std::string& list = takesFiles(argument) ? files : silent;
            list += (list.empty() ? "--" : "|--") + argument.name;
        }
        words += "--version -h --help";
        script += "        " + shQuoted(node.words) + ")\n";
        if (!files.empty() || !silent.empty() || !chosen.empty()) {
            script += "            case \"$prev\" in\n" + chosen;
            if (!files.empty()) script += "                " + files + ") " + bashFiles + "; return ;;\n";
            if (!silent.empty()) script += "                " + silent + ") return ;;\n";
            script += "            esac\n";
        }
        script += "            mapfile -t COMPREPLY < <(compgen -W " + shQuoted(words) + " -- \"$cur\")\n";
        if (!positional.empty()) script += "            [[ $cur == -* ]] || " + positional + "\n";
        script += "            ;;\n";
    }
    script += "        " + shQuoted(helpWords(root)) + ")\n            mapfile -t COMPREPLY < <(compgen -W " +
              shQuoted(subcommandNames(root)) + " -- \"$cur\")\n            ;;\n";
    script += "    esac\n}\ncomplete -o filenames -F " + function + " " + root.name + "\n";
    return script;
}

// A description inside _arguments' brackets.
std::string zshDescription(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '[' || c == ']' || c == ':' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Works both from a folder of fpath, where compinit autoloads the file as the function _torvex,
// and sourced (`source <(torvex --generate-completion-script zsh)`), where it registers itself.
std::string zshScript(const CommandSpec& root) {
    const std::string function = functionName(root.name);
    std::string script = "#compdef " + root.name + "\n\n" + function + "_profile_ids() {\n" +
                         "    local -a ids\n    ids=(${(f)\"$(${" + function + "_command/#\\~/$HOME} " + idsFromList +
                         ")\"})\n    compadd -a ids\n}\n";
    for (const Node& node : nodes(root)) {
        const CommandSpec& command = *node.command;
        script += "\n" + functionName(node.words) + "() {\n";
        // The torvex being completed, for the functions below: its word before _arguments shifts them.
        if (&command == &root) script += "    local " + function + "_command=$words[1]\n";
        std::vector<std::string> specs;
        for (const auto& argument : command.arguments) {
            std::string description = "[";
            description += zshDescription(argument.help);
            description += ']';
            const std::string action = argument.completesProfileIDs ? function + "_profile_ids"
                                       : !argument.choices.empty() ? "(" + joined(argument.choices) + ")"
                                       : takesFiles(argument)     ? "_files"
                                                                  : " ";
            switch (argument.kind) {
            case Kind::flag:
                specs.push_back("--" + argument.name + description);
                break;
            case Kind::option:
                specs.push_back("--" + argument.name + "=" + description + ":" + argument.name + ":" + action);
                break;
            case Kind::positional:
                specs.push_back(std::string(argument.required ? ":" : "::") + argument.name + ":" + action);
                break;
            }
        }
        specs.push_back("--version[Show the version.]");
        specs.push_back("(-h --help)-h[Show help information.]");
        specs.push_back("(-h --help)--help[Show help information.]");
        const auto subcommands = listedSubcommands(command);
        if (subcommands.empty()) {
            script += "    _arguments -s";
            for (const auto& spec : specs) script += " \\\n        " + shQuoted(spec);
            script += "\n}\n";
            continue;
        }
        script += "    local context state state_descr line\n    typeset -A opt_args\n    _arguments -C";
        for (const auto& spec : specs) script += " \\\n        " + shQuoted(spec);
        script += " \\\n        '1: :->command' \\\n        '*:: :->arguments'\n";
        script += "    case $state in\n        command)\n            local -a commands\n            commands=(\n";
        for (const CommandSpec* subcommand : subcommands) {
            script += "                " + shQuoted(subcommand->name + ":" + subcommand->abstract) + "\n";
        }
        if (&command == &root) script += "                " + shQuoted("help:" + std::string(helpAbstract)) + "\n";
        script += "            )\n            _describe -t commands " + shQuoted(node.words + " command") +
                  " commands\n            ;;\n        arguments)\n            case $words[1] in\n";
        for (const CommandSpec* subcommand : subcommands) {
            script += "                " + subcommand->name + ") " + functionName(node.words + " " + subcommand->name) +
                      " ;;\n";
        }
        if (&command == &root) script += "                help) _values 'command' " + subcommandNames(root) + " ;;\n";
        script += "            esac\n            ;;\n    esac\n}\n";
    }
    script += "\nif [[ $funcstack[1] == " + function + " ]]; then\n    " + function + " \"$@\"\n" +
              "elif (( $+functions[compdef] )); then\n    compdef " + function + " " + root.name + "\nelse\n" +
              "    print -u2 '" + root.name + ": load the completion system first: autoload -Uz compinit && compinit'\n" +
              "fi\n";
    return script;
}

std::string fishScript(const CommandSpec& root) {
    const std::string helper = "__" + root.name + "_command";
    const std::string at = "__" + root.name + "_at";
    const std::vector<Node> all = nodes(root);
    std::string cases;
    for (const Node& node : all) {
        if (node.command == &root) continue;
        cases += ' ';
        cases += fishQuoted(node.words);
    }
    cases += " " + fishQuoted(helpWords(root));
    std::string script = "# fish completion for " + root.name + "\n" +
                         "# The command the words so far reach, e.g. \"" + root.name + " profile set\".\n" +
                         "function " + helper + "\n" +
                         "    set -l command " + root.name + "\n" +
                         "    for word in (commandline -opc)[2..-1]\n" +
                         "        switch \"$command $word\"\n" +
                         "            case" + cases + "\n" +
                         "                set command \"$command $word\"\n" +
                         "        end\n    end\n    echo $command\nend\n\n" +
                         "function " + at + "\n    test (" + helper + ") = \"$argv[1]\"\nend\n\n" +
                         "function __" + root.name + "_profile_ids\n" +
                         "    set -l torvex (string replace -r '^~' $HOME -- (commandline -opc)[1])\n" +
                         "    $torvex " + idsFromList + "\nend\n\n" +
                         "complete -c " + root.name + " -f\n";
    const auto line = [&](const std::string& words, const std::string& rest) {
        script += "complete -c " + root.name + " -n " + fishQuoted(at + " " + fishQuoted(words)) + " " + rest + "\n";
    };
    for (const Node& node : all) {
        const CommandSpec& command = *node.command;
        for (const CommandSpec* subcommand : listedSubcommands(command))
            line(node.words, "-a " + subcommand->name + " -d " + fishQuoted(subcommand->abstract));
        if (&command == &root) line(node.words, "-a help -d " + fishQuoted(helpAbstract));
        for (const auto& argument : command.arguments) {
            const std::string description = argument.help.empty() ? "" : " -d " + fishQuoted(argument.help);
            switch (argument.kind) {
            case Kind::flag:
                line(node.words, "-l " + argument.name + description);
                break;
            case Kind::option:
                line(node.words, "-l " + argument.name +
                                     (!argument.choices.empty() ? " -x -a " + fishQuoted(joined(argument.choices))
                                      : takesFiles(argument)    ? " -r -F"
                                                                : " -r") +
                                     description);
                break;
            case Kind::positional:
                if (argument.completesProfileIDs) line(node.words, "-a '(__" + root.name + "_profile_ids)'");
                else if (!argument.choices.empty()) line(node.words, "-a " + fishQuoted(joined(argument.choices)));
                else if (takesFiles(argument)) line(node.words, "-F");
                break;
            }
        }
        line(node.words, "-l version -d " + fishQuoted("Show the version."));
        line(node.words, "-s h -l help -d " + fishQuoted("Show help information."));
    }
    for (const CommandSpec* subcommand : listedSubcommands(root))
        line(helpWords(root), "-a " + subcommand->name + " -d " + fishQuoted(subcommand->abstract));
    return script;
}

} // namespace

std::string completionScript(const CommandSpec& root, std::string_view shell) {
    if (shell == "bash") return bashScript(root);
    if (shell == "zsh") return zshScript(root);
    if (shell == "fish") return fishScript(root);
    return "";
}

} // namespace torvex::cli
