#include "HostEvents.h"

#include "HostProcess.h"
#include "Core/Version.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <type_traits>
#include <variant>

namespace torvex::host {

namespace {

std::string isoDate(std::chrono::system_clock::time_point date) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(date);
    const auto milliseconds = std::chrono::floor<std::chrono::milliseconds>(date - seconds).count();
    const std::time_t time = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    ::gmtime_r(&time, &utc);
    char text[48];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(milliseconds));
    return text;
}

} // namespace

nlohmann::ordered_json statusEvent(const ServiceStatus& status) {
    nlohmann::ordered_json event = {{"event", "status"}, {"status", status.label()}};
    if (const auto* building = std::get_if<ServiceStatus::Building>(&status.state)) {
        event["state"] = "building";
        event["app"] = building->app;
    } else if (const auto* running = std::get_if<ServiceStatus::Running>(&status.state)) {
        event["state"] = "running";
        event["app"] = running->app;
        event["binaryName"] = running->binaryName;
        event["attached"] = running->attached;
    } else {
        event["state"] = "idle";
    }
    return event;
}

nlohmann::ordered_json logEvent(const LogLine& line) {
    return {{"event", "log"},     {"id", line.id},           {"date", isoDate(line.date)},
            {"source", rawValue(line.source)}, {"isError", line.isError}, {"text", line.text}};
}

nlohmann::ordered_json errorJSON(const TorvexError& error) {
    return {{"kind", TorvexError::rawValue(error.kind)}, {"what", error.what}, {"why", error.why}, {"fix", error.fix}};
}

nlohmann::ordered_json errorEvent(const TorvexError& error) {
    nlohmann::ordered_json event = {{"event", "error"}};
    event.update(errorJSON(error));
    return event;
}

nlohmann::ordered_json noticeEvent(const std::string& text) { return {{"event", "notice"}, {"text", text}}; }

nlohmann::ordered_json listeningEvent(const std::filesystem::path& socket) {
    return {{"event", "listening"}, {"socket", socket.string()}, {"pid", ::getpid()}, {"version", TorvexVersion::current()}};
}

nlohmann::ordered_json stoppedEvent(int signal) { return {{"event", "stopped"}, {"signal", signalName(signal)}}; }

TorvexError currentError() {
    try {
        throw;
    } catch (const TorvexError& error) {
        return error;
    } catch (const Cancelled&) {
        return TorvexError(TorvexError::Kind::generic, "Cancelled.", "", "");
    } catch (...) {
        return TorvexError(TorvexError::Kind::generic, "Torvex failed.", describeCurrentException(),
                           "Check the Torvex logs.");
    }
}

nlohmann::ordered_json configEvent(const TorvexConfig& config) {
    return {{"event", "config"}, {"config", nlohmann::ordered_json::parse(config.compactJSON())}};
}

nlohmann::ordered_json eventJSON(const ServiceEvent& event) {
    return std::visit(
        [](const auto& payload) -> nlohmann::ordered_json {
            using Payload = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<Payload, ServiceStatus>) return statusEvent(payload);
            else if constexpr (std::is_same_v<Payload, LogLine>) return logEvent(payload);
            else if constexpr (std::is_same_v<Payload, ServiceEvent::Notice>) return noticeEvent(payload.text);
            else return configEvent(payload);
        },
        event.payload);
}

} // namespace torvex::host
