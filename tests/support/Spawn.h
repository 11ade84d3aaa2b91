#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace torvex::testing {

struct SpawnResult {
    pid_t pid = -1;
    int status = -1;      // exit status, or 128 + signal
    std::string out;      // everything written to standard output
    std::string err;      // everything written to standard error
};

struct SpawnRequest {
    std::filesystem::path program;             // run as given, no PATH search
    std::vector<std::string> argv;             // the whole vector, argv[0] included (may be empty)
    std::optional<std::filesystem::path> cwd;  // the caller's folder when absent
    std::map<std::string, std::string> environment; // laid over the inherited environment
    std::optional<int> closedDescriptor = {};  // 0, 1 or 2: left closed in place of its file
};

// This process's environment with `extra` laid over it, as "NAME=value" texts.
std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra);
// Pointers to the texts, ending with a null pointer, for exec and posix_spawn.
std::vector<char*> pointers(std::vector<std::string>& texts);

// Starts the program, waits for it and returns what it wrote. The output goes through files in
// `scratch`, so a chatty child never blocks on a full pipe.
SpawnResult spawnAndWait(const SpawnRequest& request, const std::filesystem::path& scratch);

} // namespace torvex::testing
