#include "Platform/ApplicationLauncher.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace torvex {
namespace fs = std::filesystem;

namespace {

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

// The log opened for appending, emptied. O_NONBLOCK keeps a FIFO without a reader from stalling
// the open; anything but a regular file is refused.
int openLog(const fs::path& log) {
    fs::create_directories(log.parent_path());
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) throw fs::filesystem_error("Cannot open the Torvex host log", log, lastError());
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw fs::filesystem_error("The Torvex host log is not a file", log,
                                   std::make_error_code(std::errc::invalid_argument));
    }
    if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        const std::error_code error = lastError();
        ::close(fd);
        throw fs::filesystem_error("Cannot empty the Torvex host log", log, error);
    }
    return fd;
}

// Waits until the host writes to its announcement pipe or lets go of it (it ended), at most `patience`.
void waitForAnnouncement(int fd, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd announced{fd, POLLIN, 0};
        const int ready = ::poll(&announced, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready >= 0 || errno != EINTR) return;
    }
}

} // namespace

fs::path applicationHost(const fs::path& bundle) { return bundle / "Contents" / "MacOS" / "torvex-host"; }

pid_t launchApplication(const fs::path& bundle, const fs::path& log, std::chrono::milliseconds patience) {
    const fs::path host = applicationHost(bundle);
    const int output = openLog(log);
    int announcement[2];
    if (::pipe2(announcement, O_CLOEXEC) != 0) {
        const std::error_code error = lastError();
        ::close(output);
        throw std::system_error(error, "Could not start " + host.string());
    }
    constexpr int announcementFD = STDERR_FILENO + 1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, announcement[1], announcementFD);
    posix_spawn_file_actions_addclosefrom_np(&actions, announcementFD + 1);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string program = host.string();
    std::string readyOption = "--ready-fd";
    std::string readyFD = std::to_string(announcementFD);
    char* argv[] = {program.data(), readyOption.data(), readyFD.data(), nullptr};
    pid_t pid = -1;
    const int started = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output);
    ::close(announcement[1]);
    if (started == 0) waitForAnnouncement(announcement[0], patience);
    ::close(announcement[0]);
    if (started != 0) throw std::system_error(started, std::generic_category(), "Could not start " + program);
    return pid;
}

void endApplication(pid_t pid, std::chrono::milliseconds patience) {
    // A session leader of its own (or a caller's child in the caller's group, where the first kill
    // finds no group of that number and the second reaches it alone).
    const auto signal = [pid](int number) {
        if (::kill(-pid, number) != 0) (void)::kill(pid, number);
    };
    const auto reaped = [pid] {
        int status = 0;
        pid_t ended = 0;
        do {
            ended = ::waitpid(pid, &status, WNOHANG);
        } while (ended < 0 && errno == EINTR);
        return ended != 0;  // ended and reaped, or no child of ours (any more)
    };
    if (reaped()) return;
    signal(SIGTERM);
    for (const auto deadline = std::chrono::steady_clock::now() + patience; std::chrono::steady_clock::now() < deadline;) {
        if (reaped()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    signal(SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

} // namespace torvex
