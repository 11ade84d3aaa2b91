#include "AppConnection.h"
#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Core/Profile.h"
#include "Core/VisibleText.h"

namespace torvex::cli {

namespace {

using Kind = ArgumentSpec::Kind;
using Value = ArgumentSpec::Value;

// A profile command that sends one request and prints nothing of its own.
CommandSpec requestingCommand(std::string name, std::string abstract, std::vector<ArgumentSpec> arguments,
                              std::string word,
                              std::function<IPCRequest::Arguments(const ParsedArguments&)> requestArguments) {
    return {std::move(name), std::move(abstract), "", true, std::move(arguments), {},
            [word = std::move(word), requestArguments = std::move(requestArguments)](const ParsedArguments& given) {
                withErrorRule([&] { requestApp(AppConnection::current(), word, requestArguments(given), false); });
            }};
}

CommandSpec listCommand() {
    return {"list", "List profiles.", "", true, {}, {}, [](const ParsedArguments&) {
                const TorvexConfig config = TorvexConfig::load(TorvexPaths::defaultPaths());
                for (const Profile& profile : config.profiles) {
                    const std::string mark = profile.id == config.currentProfileID ? "*" : " ";
                    Output::out(mark + " " + visibleText(profile.id) + "  " + visibleText(profile.name) + "  (" +
                                visibleText(profile.summary()) + ")");
                }
            }};
}

CommandSpec createCommand() {
    return {"create", "Create a profile from the current one.", "", true,
            {{Kind::positional, "name", "", true}}, {}, [](const ParsedArguments& given) {
                withErrorRule([&] {
                    IPCRequest::Arguments arguments;
                    arguments.name = given.text("name");
                    Output::out(requestApp(AppConnection::current(), "profile-create", arguments, false).value_or(""));
                });
            }};
}

// The theme words the service takes.
std::vector<std::string> themeWords() {
    std::vector<std::string> words;
    for (const auto theme : Profile::allThemes) words.emplace_back(rawValue(theme));
    return words;
}

} // namespace

CommandSpec profileCommand() {
    const ArgumentSpec profileID{Kind::positional, "id", "", true, Value::text, {}, true};
    const auto profileArguments = [](const ParsedArguments& given) {
        IPCRequest::Arguments arguments;
        arguments.profile = given.text("id");
        return arguments;
    };
    return {"profile",
            "Manage simulator profiles (DPI, window size, theme, locale).",
            "",
            true,
            {},
            {listCommand(),
             requestingCommand("use", "Switch to a profile (restarts a running app).", {profileID}, "profile-use",
                               profileArguments),
             createCommand(),
             requestingCommand("delete", "Delete a profile.", {profileID}, "profile-delete", profileArguments),
             requestingCommand("set",
                               "Change the current profile. Theme and size apply live; DPI and locale restart the app.",
                               {{Kind::option, "dpi", "96, 120, 144 or 192.", false, Value::integer},
                                {Kind::option, "width", "Window width in Windows pixels.", false, Value::integer},
                                {Kind::option, "height", "Window height in Windows pixels.", false, Value::integer},
                                {Kind::option, "theme", "light or dark.", false, Value::text, themeWords()},
                                {Kind::option, "locale", "e.g. en-US, ar-SA."}},
                               "profile-set", [](const ParsedArguments& given) {
                                   IPCRequest::Arguments arguments;
                                   arguments.dpi = given.integer("dpi");
                                   arguments.width = given.integer("width");
                                   arguments.height = given.integer("height");
                                   arguments.theme = given.text("theme");
                                   arguments.locale = given.text("locale");
                                   return arguments;
                               })}};
}

} // namespace torvex::cli
