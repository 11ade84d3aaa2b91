#include "support/ProcessTable.h"

#include "support/TestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>

namespace torvex::testing {
namespace fs = std::filesystem;

std::string FoundProcess::description() const { return std::to_string(identity.pid) + " " + commandLine; }

bool isTorvexProgram(const fs::path& executable) { return executable.filename().string().starts_with("torvex"); }

bool isWineProgram(const fs::path& executable) { return executable.filename().string().starts_with("wine"); }

fs::path executableOf(pid_t pid) { return processExecutable(pid).value_or(fs::path()); }

std::vector<pid_t> ancestorsOfThisProcess() {
    std::vector<pid_t> ancestors;
    for (pid_t pid = ::getppid(); pid > 0 && ancestors.size() < 4096;) {
        ancestors.push_back(pid);
        // "pid (comm) state ppid …": the command name may hold spaces and parentheses.
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t close = stat.rfind(')');
        pid_t parent = 0;
        if (close == std::string::npos || close + 4 >= stat.size()) break;
        const char* start = stat.data() + close + 4;
        if (std::from_chars(start, stat.data() + stat.size(), parent).ec != std::errc()) break;
        pid = parent;
    }
    return ancestors;
}

std::vector<FoundProcess> processesWithVariable(const std::function<bool(std::string_view entry)>& matches) {
    std::vector<FoundProcess> found;
    for (const ProcessIdentity& identity : processesWithEnvironmentEntry(matches)) {
        const fs::path folder = "/proc/" + std::to_string(identity.pid);
        FoundProcess process{identity, executableOf(identity.pid), readFile(folder / "cmdline")};
        std::replace(process.commandLine.begin(), process.commandLine.end(), '\0', ' ');
        while (!process.commandLine.empty() && process.commandLine.back() == ' ') process.commandLine.pop_back();
        found.push_back(std::move(process));
    }
    return found;
}

} // namespace torvex::testing
