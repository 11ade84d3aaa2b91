// Stops a run whose child ends at once on SIGTERM, then gives the child's pid, and so its group's
// number, to a new group leader, as the system may do once the child is reaped. The run's late
// SIGKILL must not reach that group. Works in a pid namespace of its own, where the next pid can
// be chosen. Exit 0: the new group outlived the late SIGKILL; 1: it was killed; 2: the pid was not
// reused; 77: no namespace could be made here.
#include "Core/ProcessRunner.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

using namespace torvex;

namespace {

int scenario() {
    // This process is the namespace's first; its /proc shows the namespace's pids.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("proc", "/proc", "proc", 0, nullptr) != 0)
        return 77;

    std::promise<pid_t> started;
    std::stop_source stop;
    auto run = std::async(std::launch::async, [&] {
        bool told = false;
        return ProcessRunner::shared().run(
            ProcessSpec{"/bin/sh", {"-c", "echo $$; exec sleep 30"}, {}, std::nullopt},
            [&](const OutputLine& line) {
                if (!told && line.stream == OutputStreamKind::standardOutput) {
                    told = true;
                    started.set_value(static_cast<pid_t>(std::stol(line.text)));
                }
            },
            stop.get_token());
    });
    const pid_t child = started.get_future().get();
    stop.request_stop();  // SIGTERM now, the late SIGKILL in 3 s
    if (run.get() != 128 + SIGTERM) return 3;

    // The next process gets the child's pid and leads a group of that number.
    const int last = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    const std::string previous = std::to_string(child - 1);
    if (last < 0 || ::write(last, previous.data(), previous.size()) != static_cast<ssize_t>(previous.size())) return 77;
    ::close(last);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    char sleep[] = "/bin/sleep", seconds[] = "10";
    char* argv[] = {sleep, seconds, nullptr};
    pid_t stranger = 0;
    if (::posix_spawn(&stranger, sleep, nullptr, &attributes, argv, environ) != 0) return 77;
    if (stranger != child) return 2;

    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    int status = 0;
    const bool alive = ::waitpid(stranger, &status, WNOHANG) == 0;
    ::kill(stranger, SIGKILL);
    return alive ? 0 : 1;
}

} // namespace

int main() {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS) != 0) {
        std::perror("unshare");
        return 77;
    }
    const pid_t first = ::fork();
    if (first < 0) return 77;
    if (first == 0) ::_exit(scenario());
    int status = 0;
    while (::waitpid(first, &status, 0) < 0) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
