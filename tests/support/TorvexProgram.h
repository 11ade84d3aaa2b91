#pragma once

#include "support/Spawn.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

// Runs the built `torvex` (or a copy of it) kept inside one folder: its support, caches and logs
// folders, HOME, the socket and the Flutter root all lie under `root`, and TORVEX_APP names a
// bundle there that does not exist, so that nothing outside is read, written or launched.
struct TorvexProgram {
    explicit TorvexProgram(const std::filesystem::path& root);

    std::filesystem::path program;
    std::filesystem::path root;
    std::map<std::string, std::string> environment;
    std::optional<std::filesystem::path> cwd;
    std::optional<int> closedDescriptor;  // for run(): 0, 1 or 2 left closed

    std::filesystem::path socket() const { return environment.at("TORVEX_SOCKET"); }
    std::filesystem::path support() const { return environment.at("TORVEX_SUPPORT_DIR"); }
    std::filesystem::path logs() const { return environment.at("TORVEX_LOGS_DIR"); }
    std::filesystem::path home() const { return environment.at("HOME"); }

    SpawnResult run(const std::vector<std::string>& arguments) const;
    // Starts it without waiting, standard output and error both into `output`; answers its pid.
    pid_t start(const std::vector<std::string>& arguments, int output) const;
};

// The child's exit status (128 + signal when a signal ended it) once it ends within `limit`;
// otherwise it is killed and none is answered.
std::optional<int> exitStatusWithin(pid_t pid, std::chrono::milliseconds limit);

// Everything read from `fd` until its end of file, when that came within `limit`; none otherwise.
std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds limit);

// The built torvex.
std::filesystem::path builtTorvex();

} // namespace torvex::testing
