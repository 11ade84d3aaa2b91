#include "support/Spawn.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace torvex::testing {
namespace fs = std::filesystem;

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : extra) merged[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

SpawnResult spawnAndWait(const SpawnRequest& request, const fs::path& scratch) {
    static std::atomic<int> counter = 0;
    const std::string stem = "spawn-" + std::to_string(++counter);
    const fs::path outFile = scratch / (stem + ".out");
    const fs::path errFile = scratch / (stem + ".err");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (request.closedDescriptor) posix_spawn_file_actions_addclose(&actions, *request.closedDescriptor);
    if (request.cwd) posix_spawn_file_actions_addchdir_np(&actions, request.cwd->c_str());

    std::vector<std::string> argv = request.argv;
    std::vector<std::string> envp = mergedEnvironment(request.environment);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envpPointers = pointers(envp);

    SpawnResult result;
    const int started = posix_spawn(&result.pid, request.program.c_str(), &actions, nullptr, argvPointers.data(),
                                    envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) throw std::runtime_error("cannot start " + request.program.string() + ": " + std::strerror(started));

    int status = 0;
    while (::waitpid(result.pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(outFile);
    result.err = readFile(errFile);
    return result;
}

} // namespace torvex::testing
