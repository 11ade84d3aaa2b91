#include "support/StateProcesses.h"

#include "support/Eventually.h"
#include "support/WindowsProgram.h"

#include <signal.h>

#include <algorithm>
#include <string>

namespace torvex::testing {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

StateProcesses::StateProcesses(fs::path socket, fs::path support, fs::path scratch)
    : socket_(std::move(socket)), prefixes_(std::move(support) / "prefixes"), scratch_(std::move(scratch)) {}

StateProcesses::~StateProcesses() {
    try {
        stopHosts(20s);
        endLeftovers(5s);
    } catch (...) {
    }
}

std::vector<FoundProcess> StateProcesses::all() const {
    const std::string socket = "TORVEX_SOCKET=" + socket_.string();
    const std::string prefixes = "WINEPREFIX=" + prefixes_.string() + "/";
    return processesWithVariable(
        [&](std::string_view entry) { return entry == socket || entry.starts_with(prefixes); });
}

std::vector<FoundProcess> StateProcesses::hosts() const {
    std::vector<FoundProcess> hosts = all();
    std::erase_if(hosts, [](const FoundProcess& process) {
        return !process.executable.filename().string().starts_with("torvex-host");
    });
    return hosts;
}

bool StateProcesses::stopHosts(std::chrono::milliseconds limit) const {
    const std::vector<FoundProcess> hosts = this->hosts();
    for (const FoundProcess& host : hosts) {
        if (isSameProcessAlive(host.identity)) ::kill(host.identity.pid, SIGTERM);
    }
    return allEndWithin(hosts, limit);
}

std::vector<FoundProcess> StateProcesses::endLeftovers(std::chrono::milliseconds patience) const {
    std::vector<FoundProcess> left;
    eventually([&] { return (left = all()).empty(); }, patience);
    if (left.empty()) return left;
    std::error_code error;
    for (fs::directory_iterator prefix(prefixes_, error), end; !error && prefix != end; prefix.increment(error)) {
        const WinePrefix wine(prefix->path(), scratch_);  // its end ends the prefix's processes
    }
    for (const FoundProcess& process : all()) {
        if (isSameProcessAlive(process.identity)) ::kill(process.identity.pid, SIGKILL);
    }
    allEndWithin(left, 5s);
    return left;
}

bool allEndWithin(const std::vector<FoundProcess>& processes, std::chrono::milliseconds limit) {
    return eventually(
        [&] {
            return std::none_of(processes.begin(), processes.end(),
                                [](const FoundProcess& process) { return isSameProcessAlive(process.identity); });
        },
        limit);
}

} // namespace torvex::testing
