#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace torvex {

// One process as the process table showed it, with enough to know it again: a pid alone may be
// reused once the process has ended.
struct ProcessIdentity {
    pid_t pid = 0;
    pid_t group = 0;
    std::uint64_t startTime = 0;  // in the system's own clock ticks since boot

    bool operator==(const ProcessIdentity&) const = default;
};

// Every live descendant of `pid` (its children, their children…), from one reading of the process
// table. Processes that already left the tree (orphans adopted elsewhere) are not found.
std::vector<ProcessIdentity> descendantsOf(pid_t pid);

// Every live process of the process group `group`, from one reading of the process table.
std::vector<ProcessIdentity> processesInGroup(pid_t group);

// The process with `pid` as the table shows it now; none when there is none or it is a zombie.
std::optional<ProcessIdentity> processIdentity(pid_t pid);

// Whether the process is still running under its pid and is the same process (not a zombie).
bool isSameProcessAlive(const ProcessIdentity& process);

// Every live process but this one whose environment, as it was started, holds an entry
// ("NAME=value") for which `matches` holds. Processes whose environment this user may not read
// (another user's) are never found.
std::vector<ProcessIdentity> processesWithEnvironmentEntry(const std::function<bool(std::string_view entry)>& matches);

// The program file the process runs; none when that cannot be read (another user's process, or gone).
std::optional<std::filesystem::path> processExecutable(pid_t pid);

} // namespace torvex
