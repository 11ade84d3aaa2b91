#pragma once

#include "Core/Platform/ProcessTree.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace torvex::testing {

// A running process that a test found by its environment.
struct FoundProcess {
    ProcessIdentity identity;
    std::filesystem::path executable;  // empty when it cannot be read
    std::string commandLine;           // the arguments joined by spaces

    // "<pid> <command line>", for messages.
    std::string description() const;
};

// Every running process but this one whose environment (as it was started) holds a "NAME=value"
// entry for which `matches` holds. Zombies show no environment and are never found.
std::vector<FoundProcess> processesWithVariable(const std::function<bool(std::string_view entry)>& matches);

} // namespace torvex::testing
