#include "ControlCommands.h"

#include "ScreenshotFile.h"
#include "Service/TorvexService.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

namespace torvex::host {

namespace {

using Arguments = nlohmann::json;
using Answer = nlohmann::ordered_json;

TorvexError usageError(const std::string& what, const std::string& why) {
    return TorvexError(TorvexError::Kind::usage, what, why, "Correct the command's arguments and send it again.");
}

// The argument's text; none when it is absent or null.
std::optional<std::string> optionalText(const Arguments& arguments, const char* name) {
    const auto found = arguments.find(name);
    if (found == arguments.end() || found->is_null()) return std::nullopt;
    if (!found->is_string()) throw usageError(std::string("Invalid ") + name + ".", std::string(name) + " must be a text.");
    std::string text = found->get<std::string>();
    if (text.find('\0') != std::string::npos)
        throw usageError(std::string("Invalid ") + name + ".", std::string(name) + " holds the character U+0000.");
    return text;
}

std::string requiredText(const Arguments& arguments, const char* name) {
    auto text = optionalText(arguments, name);
    if (!text || text->empty()) throw usageError(std::string("Missing ") + name + ".", std::string("The command has no ") + name + ".");
    return *text;
}

std::optional<std::int64_t> optionalInteger(const Arguments& arguments, const char* name) {
    const auto found = arguments.find(name);
    if (found == arguments.end() || found->is_null()) return std::nullopt;
    if (!found->is_number_integer())
        throw usageError(std::string("Invalid ") + name + ".", std::string(name) + " must be a whole number.");
    return found->get<std::int64_t>();
}

// The command's fields, read and checked up front, as an edit the service applies to the current
// profile as it stands, inside its one configuration change.
std::function<void(Profile&)> profileEdit(const Arguments& arguments) {
    std::optional<Profile::Theme> theme;
    if (auto text = optionalText(arguments, "theme")) {
        theme = themeFromRawValue(*text);
        if (!theme) throw usageError("Invalid theme.", "The theme is \"" + *text + "\"; it must be \"light\" or \"dark\".");
    }
    return [name = optionalText(arguments, "name"), dpi = optionalInteger(arguments, "dpi"),
            width = optionalInteger(arguments, "width"), height = optionalInteger(arguments, "height"), theme,
            locale = optionalText(arguments, "locale")](Profile& profile) {
        if (name) profile.name = *name;
        if (dpi) profile.dpi = *dpi;
        if (width) profile.width = *width;
        if (height) profile.height = *height;
        if (theme) profile.theme = *theme;
        if (locale) profile.locale = *locale;
    };
}

using Run = Answer (*)(TorvexService&, const Arguments&, std::stop_token);
struct Command {
    std::string_view word;
    Run run;
};

const Command commands[] = {
    {"open",
     [](TorvexService& service, const Arguments& arguments, std::stop_token stop) {
         const std::string project = requiredText(arguments, "project");
         // The build's lines reach the host as log events; the command answers once the app started.
         service.open(project, optionalText(arguments, "flutterRoot"), nullptr, std::move(stop));
         return Answer::object();
     }},
    {"stop",
     [](TorvexService& service, const Arguments&, std::stop_token) {
         service.stop();
         return Answer::object();
     }},
    {"relaunch",
     [](TorvexService& service, const Arguments&, std::stop_token) {
         service.relaunch();
         return Answer::object();
     }},
    {"use-profile",
     [](TorvexService& service, const Arguments& arguments, std::stop_token) {
         service.useProfile(requiredText(arguments, "profile"));
         return Answer::object();
     }},
    {"update-profile",
     [](TorvexService& service, const Arguments& arguments, std::stop_token stop) {
         service.editCurrentProfile(profileEdit(arguments), std::move(stop));
         return Answer::object();
     }},
    {"create-profile",
     [](TorvexService& service, const Arguments& arguments, std::stop_token) {
         return Answer{{"profile", service.createProfile(requiredText(arguments, "name")).id}};
     }},
    {"complete-onboarding",
     [](TorvexService& service, const Arguments& arguments, std::stop_token) {
         service.completeOnboarding(optionalText(arguments, "flutterRoot"));
         return Answer::object();
     }},
    {"set-flutter-root",
     [](TorvexService& service, const Arguments& arguments, std::stop_token) {
         service.setFlutterRoot(optionalText(arguments, "flutterRoot"));
         return Answer::object();
     }},
    {"set-capture-folder",
     [](TorvexService& service, const Arguments& arguments, std::stop_token) {
         const auto folder = optionalText(arguments, "folder");
         service.setCaptureFolder(folder ? std::optional<std::filesystem::path>(*folder) : std::nullopt);
         return Answer::object();
     }},
    {"screenshot",
     [](TorvexService& service, const Arguments&, std::stop_token stop) {
         const std::string png = service.screenshotPNG(std::move(stop));
         const auto file = saveScreenshot(png, service.currentConfig().captureDirectory(), std::chrono::system_clock::now());
         return Answer{{"file", file.string()}};
     }},
};

} // namespace

nlohmann::ordered_json runControlCommand(const std::shared_ptr<TorvexService>& service, const std::string& command,
                                         const nlohmann::json& arguments, std::stop_token stop) {
    for (const auto& [word, run] : commands) {
        if (word == command) return run(*service, arguments, std::move(stop));
    }
    std::string known;
    for (const auto& [word, run] : commands) known += (known.empty() ? "" : ", ") + std::string(word);
    throw TorvexError(TorvexError::Kind::usage, "Unknown command " + command + ".", "The host's commands are " + known + ".",
                      "Send one of those.");
}

} // namespace torvex::host
