#include "Platform/ProcessTree.h"

#include "Files.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace torvex {
namespace fs = std::filesystem;

namespace {

struct Entry {
    ProcessIdentity identity;
    pid_t parent = 0;
    char state = 0;
};

// Fields after "pid (comm) ": state, ppid, pgrp, … starttime is the 20th of them. The command name
// may hold spaces and parentheses, so the fields start after the last ")".
std::optional<Entry> readEntry(pid_t pid) {
    const auto stat = readRegularFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    const std::size_t close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*stat).substr(close + 1);
    Entry entry;
    entry.identity.pid = pid;
    for (int field = 1; field <= 20; ++field) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(start);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view value = rest.substr(0, end);
        const auto number = [&](auto& out) { return std::from_chars(value.begin(), value.end(), out).ec == std::errc(); };
        if (field == 1) entry.state = value.empty() ? 0 : value.front();
        if (field == 2 && !number(entry.parent)) return std::nullopt;
        if (field == 3 && !number(entry.identity.group)) return std::nullopt;
        if (field == 20 && !number(entry.identity.startTime)) return std::nullopt;
        rest.remove_prefix(end);
    }
    return entry;
}

// Calls `visit` with the pid of every process in the table, as it is read.
void forEachProcess(const std::function<void(pid_t)>& visit) {
    std::error_code error;
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        pid_t pid = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ec == std::errc()) visit(pid);
    }
}

} // namespace

std::vector<ProcessIdentity> descendantsOf(pid_t pid) {
    std::multimap<pid_t, Entry> byParent;
    forEachProcess([&](pid_t candidate) {
        if (const auto entry = readEntry(candidate); entry && entry->state != 'Z') byParent.emplace(entry->parent, *entry);
    });
    std::vector<ProcessIdentity> found;
    std::set<pid_t> seen{pid};  // the table is read over time; never follow a pid twice
    std::vector<pid_t> parents{pid};
    while (!parents.empty()) {
        const pid_t parent = parents.back();
        parents.pop_back();
        const auto [first, last] = byParent.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            if (!seen.insert(it->second.identity.pid).second) continue;
            found.push_back(it->second.identity);
            parents.push_back(it->second.identity.pid);
        }
    }
    return found;
}

std::vector<ProcessIdentity> processesInGroup(pid_t group) {
    std::vector<ProcessIdentity> found;
    forEachProcess([&](pid_t candidate) {
        if (const auto entry = readEntry(candidate); entry && entry->state != 'Z' && entry->identity.group == group)
            found.push_back(entry->identity);
    });
    return found;
}

std::optional<ProcessIdentity> processIdentity(pid_t pid) {
    const auto entry = readEntry(pid);
    if (!entry || entry->state == 'Z') return std::nullopt;
    return entry->identity;
}

bool isSameProcessAlive(const ProcessIdentity& process) {
    const auto entry = readEntry(process.pid);
    return entry && entry->state != 'Z' && entry->identity.startTime == process.startTime;
}

std::vector<ProcessIdentity> processesWithEnvironmentEntry(const std::function<bool(std::string_view entry)>& matches) {
    std::vector<ProcessIdentity> found;
    const pid_t self = ::getpid();
    forEachProcess([&](pid_t pid) {
        if (pid == self) return;
        const auto environment = readRegularFile("/proc/" + std::to_string(pid) + "/environ");
        if (!environment) return;
        bool marked = false;
        for (std::size_t start = 0; start < environment->size() && !marked;) {
            const std::size_t end = std::min(environment->find('\0', start), environment->size());
            marked = matches(std::string_view(*environment).substr(start, end - start));
            start = end + 1;
        }
        if (!marked) return;
        if (const auto identity = processIdentity(pid)) found.push_back(*identity);
    });
    return found;
}

std::optional<fs::path> processExecutable(pid_t pid) {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error) return std::nullopt;
    return executable;
}

} // namespace torvex
