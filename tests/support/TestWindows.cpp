#include "support/TestWindows.h"

#include "support/Spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace torvex::testing {
namespace fs = std::filesystem;

fs::path TestWindows::wineProgram() { return TORVEX_TEST_WINDOWS_WINE; }
fs::path TestWindows::otherProgram() { return TORVEX_TEST_WINDOWS_OTHER; }

TestWindows::TestWindows(const fs::path& program, const std::string& display, const std::vector<std::string>& arguments) {
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<std::string> argv = {program.filename().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = mergedEnvironment({{"DISPLAY", display}});
    std::vector<char*> argvPointers = pointers(argv), environmentPointers = pointers(environment);
    const int started = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argvPointers.data(), environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    input_ = input[1];
    if (started != 0) {
        pid_ = -1;
        ::close(output[0]);
        stop();
        throw std::runtime_error("cannot start " + program.string() + ": " + std::strerror(started));
    }

    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pollfd readable{output[0], POLLIN, 0};
    while (text.find("ready\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        char buffer[512];
        ssize_t count = 0;
        if (left.count() <= 0 || ::poll(&readable, 1, int(left.count())) <= 0 ||
            (count = ::read(output[0], buffer, sizeof buffer)) <= 0) {
            break;
        }
        text.append(buffer, std::size_t(count));
    }
    ::close(output[0]);
    if (text.find("ready\n") == std::string::npos) {
        stop();
        throw std::runtime_error(program.filename().string() + " did not show its windows; it wrote: " + text);
    }
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.rfind("0x", 0) == 0) ids_.push_back(std::uint32_t(std::stoul(line, nullptr, 16)));
    }
}

TestWindows::~TestWindows() { stop(); }

void TestWindows::stop() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    if (pid_ <= 0) return;
    int status = 0;
    for (int tries = 0;; ++tries) {
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        if (reaped < 0 && errno == EINTR) continue;
        if (reaped != 0) break;
        if (tries == 100) ::kill(pid_, SIGKILL);  // 5 s without leaving
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    pid_ = -1;
}

} // namespace torvex::testing
