#include "support/ProcessTable.h"

#include "support/TestSupport.h"

#include <algorithm>

namespace torvex::testing {
namespace fs = std::filesystem;

std::string FoundProcess::description() const { return std::to_string(identity.pid) + " " + commandLine; }

std::vector<FoundProcess> processesWithVariable(const std::function<bool(std::string_view entry)>& matches) {
    std::vector<FoundProcess> found;
    for (const ProcessIdentity& identity : processesWithEnvironmentEntry(matches)) {
        const fs::path folder = "/proc/" + std::to_string(identity.pid);
        FoundProcess process{identity, processExecutable(identity.pid).value_or(fs::path()), readFile(folder / "cmdline")};
        std::replace(process.commandLine.begin(), process.commandLine.end(), '\0', ' ');
        while (!process.commandLine.empty() && process.commandLine.back() == ' ') process.commandLine.pop_back();
        found.push_back(std::move(process));
    }
    return found;
}

} // namespace torvex::testing
