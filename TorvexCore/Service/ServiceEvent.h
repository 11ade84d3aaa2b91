#pragma once

#include "LogLine.h"
#include "ServiceStatus.h"
#include "Core/Profile.h"

#include <string>
#include <variant>

namespace torvex {

// What the service tells its host: its status changed, a line for the log view, a message to
// show prominently, or its configuration changed.
struct ServiceEvent {
    struct Notice {
        std::string text;
        bool operator==(const Notice&) const = default;
    };

    std::variant<ServiceStatus, LogLine, Notice, TorvexConfig> payload;

    static ServiceEvent status(ServiceStatus status) { return {std::move(status)}; }
    static ServiceEvent log(LogLine line) { return {std::move(line)}; }
    static ServiceEvent notice(std::string text) { return {Notice{std::move(text)}}; }
    static ServiceEvent config(TorvexConfig config) { return {std::move(config)}; }

    bool operator==(const ServiceEvent&) const = default;
};

} // namespace torvex
