#pragma once

#include "support/ProcessTable.h"

#include <chrono>
#include <filesystem>
#include <vector>

namespace torvex::testing {

// What the torvex programs of one state folder leave running in the background: the torvex-host
// that a torvex launched from its bundle (in a session of its own, so no child of the caller's),
// what the host started, and the Wine processes of the state's prefixes. They are known by their
// environment: TORVEX_SOCKET names the state's socket, or WINEPREFIX lies below
// <support>/prefixes. Of those, only Torvex's and Wine's programs and what runs in their sessions
// count: a user's shell with the state's variables exported, the caller's own helpers (its X
// server) and its ancestors are never touched. Its end ends them all by pid, whatever happened
// before.
//
//   StateProcesses processes(socket, paths.support, scratch);
//   ... torvex build (launches the host) ...
//   EXPECT_TRUE(processes.stopHosts(30s));
//   EXPECT_EQ(processes.endLeftovers(10s).size(), 0u);
class StateProcesses {
public:
    StateProcesses(std::filesystem::path socket, std::filesystem::path support, std::filesystem::path scratch);
    ~StateProcesses();  // stopHosts(20 s), then endLeftovers(5 s)
    StateProcesses(const StateProcesses&) = delete;
    StateProcesses& operator=(const StateProcesses&) = delete;

    // The torvex-host processes of the socket.
    std::vector<FoundProcess> hosts() const;
    // Every process of the state, hosts included.
    std::vector<FoundProcess> all() const;

    // Sends SIGTERM to every host and waits for their end; false when one still ran after `limit`
    // (it is left running).
    bool stopHosts(std::chrono::milliseconds limit) const;

    // Gives the state's processes `patience` to end by themselves, then ends the rest: `wineserver -k`
    // for every prefix, and SIGKILL for what still runs. Answers those that had to be ended.
    std::vector<FoundProcess> endLeftovers(std::chrono::milliseconds patience) const;

private:
    std::filesystem::path socket_;
    std::filesystem::path prefixes_;
    std::filesystem::path scratch_;
};

// Whether every one of `processes` has ended within `limit`.
bool allEndWithin(const std::vector<FoundProcess>& processes, std::chrono::milliseconds limit);

} // namespace torvex::testing
