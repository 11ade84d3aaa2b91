#include "ServiceStatus.h"

namespace torvex {

std::string ServiceStatus::label() const {
    if (const auto* building = std::get_if<Building>(&state)) return "Building " + building->app;
    if (const auto* running = std::get_if<Running>(&state))
        return "Running " + running->app + (running->attached ? "" : " (not attached)");
    return "Idle";
}

} // namespace torvex
