#include "support/TorvexProgram.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace torvex::testing {
namespace fs = std::filesystem;

fs::path builtTorvex() { return builtBundle() / "Contents" / "MacOS" / "torvex"; }

TorvexProgram::TorvexProgram(const fs::path& root) : program(builtTorvex()), root(root) {
    environment = {
        {"TORVEX_SUPPORT_DIR", (root / "support").string()},
        {"TORVEX_CACHES_DIR", (root / "caches").string()},
        {"TORVEX_LOGS_DIR", (root / "logs").string()},
        {"TORVEX_SOCKET", (root / "t.sock").string()},
        {"TORVEX_APP", (root / "Absent.app").string()},
        {"HOME", (root / "home").string()},
        {"XDG_CONFIG_HOME", ""},
        {"FLUTTER_ROOT", (root / "flutter").string()},
    };
    fs::create_directories(root / "home");
    fs::create_directories(root / "output");
}

SpawnResult TorvexProgram::run(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawnAndWait({program, argv, cwd, environment, closedDescriptor}, root / "output");
}

pid_t TorvexProgram::start(const std::vector<std::string>& arguments, int output) const {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = mergedEnvironment(environment);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envpPointers = pointers(envp);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    if (cwd) posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());
    pid_t pid = -1;
    const int started = posix_spawn(&pid, program.c_str(), &actions, nullptr, argvPointers.data(), envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) throw std::runtime_error("cannot start " + program.string());
    return pid;
}

std::optional<int> exitStatusWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds limit) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) return text;
        if (count < 0 && errno != EINTR) return std::nullopt;
        if (count > 0) text.append(buffer, static_cast<std::size_t>(count));
    }
    return std::nullopt;
}

} // namespace torvex::testing
