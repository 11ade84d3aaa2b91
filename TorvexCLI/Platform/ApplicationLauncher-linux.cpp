#include "Platform/ApplicationLauncher.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <system_error>
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

} // namespace

fs::path applicationHost(const fs::path& bundle) { return bundle / "Contents" / "MacOS" / "torvex-host"; }

pid_t launchApplication(const fs::path& bundle, const fs::path& log) {
    const fs::path host = applicationHost(bundle);
    const int output = openLog(log);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

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
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int started = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output);
    if (started != 0) throw std::system_error(started, std::generic_category(), "Could not start " + program);
    return pid;
}

} // namespace torvex
