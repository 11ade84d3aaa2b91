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

fs::path executableOf(pid_t pid) {
    std::error_code unreadable;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", unreadable);
}

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
    std::error_code error;
    for (fs::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        pid_t pid = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc() || pid == ::getpid()) continue;
        const std::string environment = readFile(entry->path() / "environ");
        bool marked = false;
        for (std::size_t start = 0; start < environment.size() && !marked;) {
            const std::size_t end = std::min(environment.find('\0', start), environment.size());
            marked = matches(std::string_view(environment).substr(start, end - start));
            start = end + 1;
        }
        if (!marked) continue;
        const auto identity = processIdentity(pid);
        if (!identity) continue;
        FoundProcess process{*identity, {}, readFile(entry->path() / "cmdline")};
        std::replace(process.commandLine.begin(), process.commandLine.end(), '\0', ' ');
        while (!process.commandLine.empty() && process.commandLine.back() == ' ') process.commandLine.pop_back();
        process.executable = executableOf(pid);
        found.push_back(std::move(process));
    }
    return found;
}

} // namespace torvex::testing
