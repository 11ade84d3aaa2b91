#pragma once

#include "Core/Profile.h"
#include "Core/TorvexError.h"
#include "Service/LogLine.h"
#include "Service/ServiceEvent.h"
#include "Service/ServiceStatus.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <sys/types.h>

// The lines torvex-host prints on standard output: one JSON object each, whose "event" says what
// it reports.
namespace torvex::host {

// {"event":"status","status":<label>,"state":"building"|"running"|"idle"} with "app", and for a
// running app "binaryName" and "attached".
nlohmann::ordered_json statusEvent(const ServiceStatus& status);
// {"event":"log","id":…,"date":<UTC, ISO 8601 with milliseconds>,"source":…,"isError":…,"text":…}
nlohmann::ordered_json logEvent(const LogLine& line);

// {"event":"config","config":<the configuration's JSON form>}
nlohmann::ordered_json configEvent(const TorvexConfig& config);
// One of the events above for the service's event.
nlohmann::ordered_json eventJSON(const ServiceEvent& event);

// An "error" object's members: kind (the raw value), what, why and fix.
nlohmann::ordered_json errorJSON(const TorvexError& error);
// {"event":"error", kind, what, why, fix}
nlohmann::ordered_json errorEvent(const TorvexError& error);
// {"event":"notice","text":…}
nlohmann::ordered_json noticeEvent(const std::string& text);
// {"event":"listening","socket":…,"pid":…,"version":…}: the host serves the socket.
nlohmann::ordered_json listeningEvent(const std::filesystem::path& socket);
// {"event":"stopped","signal":"SIGTERM"}: the host's last line.
nlohmann::ordered_json stoppedEvent(int signal);

// What an operation threw, as a TorvexError: itself, "Cancelled." for Cancelled, and "Torvex
// failed." with the description for anything else. Call inside a catch block.
TorvexError currentError();

} // namespace torvex::host
