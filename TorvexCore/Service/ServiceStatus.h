#pragma once

#include <string>
#include <variant>

namespace torvex {

// What the service is doing: building an app, running one, or nothing.
struct ServiceStatus {
    struct Building {
        std::string app;
        bool operator==(const Building&) const = default;
    };
    struct Running {
        std::string app;
        std::string binaryName;  // the app's executable name
        bool attached = false;   // a client receives the session's output
        bool operator==(const Running&) const = default;
    };
    struct Idle {
        bool operator==(const Idle&) const = default;
    };

    std::variant<Building, Running, Idle> state = Idle{};

    static ServiceStatus building(std::string app) { return {Building{std::move(app)}}; }
    static ServiceStatus running(std::string app, std::string binaryName, bool attached) {
        return {Running{std::move(app), std::move(binaryName), attached}};
    }
    static ServiceStatus idle() { return {}; }

    // "Building <app>", "Running <app>" with " (not attached)" when no client is attached, "Idle".
    std::string label() const;

    bool operator==(const ServiceStatus&) const = default;
};

} // namespace torvex
