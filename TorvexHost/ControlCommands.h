#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <stop_token>
#include <string>

namespace torvex {
class TorvexService;
}

namespace torvex::host {

// Runs one command of --control-stdin (see ControlReader) on the service: the operations the
// service offers only to its host, by name. A null argument counts as absent. Answers the members the answer adds; throws the
// operation's error, or a usage error for an unknown command or a bad argument.
//   open               project, flutterRoot?     builds, installs and starts the app detached
//   stop, relaunch
//   use-profile        profile
//   update-profile     name?, dpi?, width?, height?, theme?, locale?   over the current profile
//   create-profile     name                       answers "profile": the new id
//   complete-onboarding flutterRoot?
//   set-flutter-root   flutterRoot?               absent clears it
//   set-capture-folder folder?                    absent clears it
//   screenshot                                    saves the PNG in the capture folder; answers "file"
nlohmann::ordered_json runControlCommand(const std::shared_ptr<TorvexService>& service, const std::string& command,
                                         const nlohmann::json& arguments, std::stop_token stop);

} // namespace torvex::host
