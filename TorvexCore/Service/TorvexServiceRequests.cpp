// The request words of the socket.
#include "TorvexService.h"

#include "Core/Base64.h"
#include "Core/Log.h"
#include "Core/Version.h"
#include "Runtime/AppRunner.h"

#include <fmt/format.h>

#include <string_view>
#include <vector>

namespace torvex {

namespace {

using Arguments = IPCRequest::Arguments;

TorvexError usageError(std::string what, std::string why, std::string fix) {
    return TorvexError(TorvexError::Kind::usage, std::move(what), std::move(why), std::move(fix));
}

// The text, unless it holds U+0000, which no name or path can hold: the system would read a
// shorter one.
const std::optional<std::string>& checked(const std::optional<std::string>& value, std::string_view name) {
    if (value && value->find('\0') != std::string::npos)
        throw usageError(fmt::format("Invalid {}.", name),
                         fmt::format("The request's {} holds the character U+0000, which no name or path may hold.", name),
                         "Remove the character and try again.");
    return value;
}

// The value when it is present and not empty.
std::string required(const std::optional<std::string>& value, std::string_view name) {
    if (!value || value->empty())
        throw usageError(fmt::format("Missing {}.", name), fmt::format("The request has no {}.", name), "Update Torvex.");
    return *checked(value, name);
}

std::string requiredAppName(const Arguments& args) {
    std::string name = required(args.appName, "appName");
    requireUsableName(name, NameRole::appName);
    return name;
}

// The first of two path arguments that is given and not empty.
const std::optional<std::string>& eitherPath(const std::optional<std::string>& first,
                                             const std::optional<std::string>& second) {
    return first && !first->empty() ? first : second;
}

std::optional<std::filesystem::path> optionalPath(const std::optional<std::string>& value, std::string_view name) {
    if (!checked(value, name) || value->empty()) return std::nullopt;
    return std::filesystem::path(*value);
}

} // namespace

void TorvexService::handle(const IPCRequest& request, const std::shared_ptr<IPCConnection>& connection,
                           std::stop_token stop) {
    const LineHandler reply = [connection, id = request.id](const OutputLine& line) {
        connection->send(IPCMessage::log(id, line));
    };
    IPCMessage answer;
    try {
        answer = IPCMessage::result(request.id, perform(request, reply, std::move(stop)));
    } catch (const TorvexError& error) {
        answer = IPCMessage::error(request.id, error);
    } catch (const Cancelled&) {
        answer = IPCMessage::error(request.id, TorvexError(TorvexError::Kind::generic, "Cancelled.", "", ""));
    } catch (...) {
        const std::string why = describeCurrentException();
        Log::process().error(fmt::format("request {} ({}) failed: {}", request.id, request.cmd, why));
        answer = IPCMessage::error(request.id,
                                   TorvexError(TorvexError::Kind::generic, "Torvex failed.", why, "Check the Torvex logs."));
    }
    connection->send(answer);
}

TorvexService::Answer TorvexService::perform(const IPCRequest& request, const LineHandler& reply, std::stop_token stop) {
    using Perform = Answer (*)(TorvexService&, const Arguments&, const LineHandler&, std::stop_token);
    struct Word {
        std::string_view word;
        Perform perform;
    };
    // Required arguments are checked first, in the order listed, before a word does anything.
    static const Word words[] = {
        {"ping", [](TorvexService&, const Arguments&, const LineHandler&, std::stop_token) -> Answer { return "ready"; }},
        {"build",
         [](TorvexService& service, const Arguments& args, const LineHandler& reply, std::stop_token stop) -> Answer {
             const std::string project = required(eitherPath(args.project, args.bundle), "project");
             const auto bundle = optionalPath(args.bundle, "bundle");
             const auto& flutterRoot = checked(args.flutterRoot, "flutterRoot");
             return service.build(project, bundle, flutterRoot, reply, std::move(stop));
         }},
        {"install",
         [](TorvexService& service, const Arguments& args, const LineHandler&, std::stop_token stop) -> Answer {
             const std::string path = required(eitherPath(args.bundle, args.project), "project");
             const std::string name = requiredAppName(args);
             service.install(name, path, service.wineOf(service.currentConfig().currentProfile()), std::move(stop));
             return std::nullopt;
         }},
        {"uninstall",
         [](TorvexService& service, const Arguments& args, const LineHandler&, std::stop_token stop) -> Answer {
             const std::string name = requiredAppName(args);
             const WineEnvironment wine = service.wineOf(service.currentConfig().currentProfile());
             service.withAppFolder(InstalledApp::directory(name, wine), std::move(stop),
                                   [&] { InstalledApp::uninstall(name, wine); });
             return std::nullopt;
         }},
        {"run",
         [](TorvexService& service, const Arguments& args, const LineHandler& reply, std::stop_token stop) -> Answer {
             const std::string name = requiredAppName(args);
             const std::string options = checked(args.engineOptions, "engineOptions").value_or("");
             const WineEnvironment wine = service.wineOf(service.currentConfig().currentProfile());
             // An install of the app in progress is waited for: its record is read once it is whole.
             InstalledApp app;
             service.withAppFolder(InstalledApp::directory(name, wine), stop,
                                   [&] { app = InstalledApp::load(name, wine); });
             return std::to_string(
                 service.runAttached(app, AppRunner::engineSwitches(options), reply, std::move(stop)));
         }},
        {"open",
         [](TorvexService& service, const Arguments& args, const LineHandler& reply, std::stop_token stop) -> Answer {
             const std::string project = required(args.project, "project");
             service.open(project, checked(args.flutterRoot, "flutterRoot"), reply, std::move(stop));
             return std::nullopt;
         }},
        {"stop",
         [](TorvexService& service, const Arguments&, const LineHandler&, std::stop_token) -> Answer {
             service.stop();
             return std::nullopt;
         }},
        {"screenshot",
         [](TorvexService& service, const Arguments&, const LineHandler&, std::stop_token stop) -> Answer {
             return base64Encoded(service.screenshotPNG(std::move(stop)));
         }},
        {"status",
         [](TorvexService& service, const Arguments&, const LineHandler&, std::stop_token) -> Answer {
             const std::lock_guard guard(service.lock_);
             return service.statusJSON();
         }},
        {"update-check",
         [](TorvexService& service, const Arguments&, const LineHandler&, std::stop_token stop) -> Answer {
             std::shared_ptr<const UpdateCheck> check;
             {
                 const std::lock_guard guard(service.lock_);
                 check = service.updateCheck_;
             }
             if (check) (*check)(std::move(stop));
             return TorvexVersion::current();
         }},
        {"profile-list",
         [](TorvexService& service, const Arguments&, const LineHandler&, std::stop_token) -> Answer {
             return service.currentConfig().compactJSON();
         }},
        {"profile-use",
         [](TorvexService& service, const Arguments& args, const LineHandler&, std::stop_token) -> Answer {
             service.useProfile(required(args.profile, "profile"));
             return std::nullopt;
         }},
        {"profile-create",
         [](TorvexService& service, const Arguments& args, const LineHandler&, std::stop_token) -> Answer {
             return service.createProfile(required(args.name, "name")).id;
         }},
        {"profile-delete",
         [](TorvexService& service, const Arguments& args, const LineHandler&, std::stop_token) -> Answer {
             service.deleteProfile(required(args.profile, "profile"));
             return std::nullopt;
         }},
        {"profile-set",
         [](TorvexService& service, const Arguments& args, const LineHandler&, std::stop_token stop) -> Answer {
             const auto& locale = checked(args.locale, "locale");
             service.editCurrentProfile(
                 [&](Profile& profile) {
                     if (args.dpi) profile.dpi = *args.dpi;
                     if (args.width) profile.width = *args.width;
                     if (args.height) profile.height = *args.height;
                     if (args.theme) profile.theme = themeFromRawValue(*args.theme).value_or(profile.theme);
                     if (locale) profile.locale = *locale;
                 },
                 std::move(stop));
             return std::nullopt;
         }},
    };

    for (const auto& [word, perform] : words) {
        if (word == request.cmd) return perform(*this, request.args, reply, std::move(stop));
    }
    throw usageError("Unknown command " + request.cmd + ".", "The CLI and app may not match.", "Update Torvex.");
}

void TorvexService::deleteProfile(const std::string& id) {
    const std::string defaultID = Profile::defaultProfile().id;
    if (id == defaultID) throw usageError("The default profile can't be deleted.", "", "Delete another profile.");
    changeConfig([&](TorvexConfig& config) {
        std::erase_if(config.profiles, [&](const Profile& profile) { return profile.id == id; });
        if (config.currentProfileID == id) config.currentProfileID = defaultID;
    });
}

} // namespace torvex
