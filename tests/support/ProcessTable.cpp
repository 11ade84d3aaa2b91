#include "support/ProcessTable.h"

#include "support/TestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>

namespace torvex::testing {
namespace fs = std::filesystem;

std::string FoundProcess::description() const { return std::to_string(identity.pid) + " " + commandLine; }

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
        std::error_code unreadable;
        process.executable = fs::read_symlink(entry->path() / "exe", unreadable);
        found.push_back(std::move(process));
    }
    return found;
}

} // namespace torvex::testing
