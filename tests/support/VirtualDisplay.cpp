#include "support/VirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace torvex::testing {

bool VirtualDisplay::available() { return ::access("/usr/bin/Xvfb", X_OK) == 0; }

std::optional<VirtualDisplay> VirtualDisplay::start(int depth) {
    if (!available()) return std::nullopt;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;

    // Xvfb writes the display number it took to descriptor 3 once it accepts clients. -noreset: by
    // default it resets when its last client leaves, and a client connecting meanwhile is refused.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    std::string screen = "1920x1080x" + std::to_string(depth);
    char* argv[] = {const_cast<char*>("Xvfb"), const_cast<char*>("-displayfd"), const_cast<char*>("3"),
                    const_cast<char*>("-noreset"), const_cast<char*>("-nolisten"), const_cast<char*>("tcp"),
                    const_cast<char*>("-screen"),
                    const_cast<char*>("0"), screen.data(), nullptr};
    pid_t pid = -1;
    const int started = posix_spawn(&pid, "/usr/bin/Xvfb", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (started != 0) {
        ::close(fds[0]);
        return std::nullopt;
    }

    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, 30'000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    VirtualDisplay display(pid, ":" + number);
    if (number.empty()) return std::nullopt;  // the destructor stops it
    return display;
}

VirtualDisplay::VirtualDisplay(VirtualDisplay&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), name_(std::move(other.name_)) {}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace torvex::testing
