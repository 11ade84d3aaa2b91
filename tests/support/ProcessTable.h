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

// Whether the executable is one of Torvex's programs (torvex, torvex-host, torvex-cc), or one of
// Wine's (wine, wine64-preloader, wineserver…).
bool isTorvexProgram(const std::filesystem::path& executable);
bool isWineProgram(const std::filesystem::path& executable);

// The executable of a running process; empty when it cannot be read (it has ended, or it is not ours).
std::filesystem::path executableOf(pid_t pid);

// This process's parent, its parent's parent… up to the first process.
std::vector<pid_t> ancestorsOfThisProcess();

// Every running process but this one whose environment (as it was started) holds a "NAME=value"
// entry for which `matches` holds. Zombies show no environment and are never found.
std::vector<FoundProcess> processesWithVariable(const std::function<bool(std::string_view entry)>& matches);

} // namespace torvex::testing
