#include "support/StateProcesses.h"

#include "support/Eventually.h"
#include "support/WindowsProgram.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace torvex::testing {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Whether a process that names the state is one that Torvex started: one of Torvex's or Wine's
// programs, or a process in a session that a torvex-host or Wine program leads (what the host
// runs) or whose leader has ended (what a killed host left). A user's shells and programs, which
// may have the state's variables exported, and whatever started this process, are never among them.
bool startedByTorvex(const FoundProcess& process, const std::vector<pid_t>& ancestors) {
    if (std::find(ancestors.begin(), ancestors.end(), process.identity.pid) != ancestors.end()) return false;
    if (isTorvexProgram(process.executable) || isWineProgram(process.executable)) return true;
    const pid_t session = ::getsid(process.identity.pid);
    if (session <= 0) return false;  // it has ended
    const fs::path leader = executableOf(session);
    if (leader.empty()) return !fs::exists("/proc/" + std::to_string(session));
    return isTorvexProgram(leader) || isWineProgram(leader);
}

} // namespace

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
    std::vector<FoundProcess> found = processesWithVariable(
        [&](std::string_view entry) { return entry == socket || entry.starts_with(prefixes); });
    const std::vector<pid_t> ancestors = ancestorsOfThisProcess();
    std::erase_if(found, [&](const FoundProcess& process) { return !startedByTorvex(process, ancestors); });
    return found;
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
