#pragma once
// Whole-process timing for the benchmark programs that are built with the tests' support library.

#include "Core/Environment.h"
#include "support/Spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace torvex::bench {

// One whole process: its wall time, the CPU time it used and its exit status.
struct Timed {
    double wall = 0, cpu = 0;
    int status = 0;
};

// Starts `argv` with `environment` over this process's in `cwd`, output to /dev/null, and waits.
inline Timed timedRun(const std::vector<std::string>& argv, const Environment& environment,
                      const std::filesystem::path& cwd) {
    std::vector<std::string> args = argv, envp = testing::mergedEnvironment(environment);
    std::vector<char*> argvPointers = testing::pointers(args), envpPointers = testing::pointers(envp);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int started = ::posix_spawn(&pid, args.front().c_str(), &actions, nullptr, argvPointers.data(), envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) throw std::runtime_error("cannot start " + args.front());
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) throw std::runtime_error("cannot wait for " + args.front());
    }
    Timed timed;
    timed.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timed.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    timed.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return timed;
}

// The same once more with its output kept, for the message of a step that failed: throws.
[[noreturn]] inline void failWithOutput(const std::string& step, const std::vector<std::string>& argv,
                                        const Environment& environment, const std::filesystem::path& cwd,
                                        const std::filesystem::path& scratch) {
    const auto result = testing::spawnAndWait({argv.front(), argv, cwd, environment}, scratch);
    throw std::runtime_error(step + " failed with status " + std::to_string(result.status) + ":\n" + result.out +
                             result.err);
}

// A whole process timed against another: what it is called, its command and its wall times (s).
struct Contender {
    const char* step;
    std::vector<std::string> argv;
    std::vector<double>& times;
};

// Runs `first` and `second` `count` times each, in turns whose order alternates, adding each wall
// time to its contender's. A run that fails ends it through failWithOutput.
inline void alternate(const Contender& first, const Contender& second, int count, const Environment& environment,
                      const std::filesystem::path& cwd, const std::filesystem::path& scratch) {
    for (int turn = 0; turn < count; ++turn) {
        for (const Contender* contender : turn % 2 == 0 ? std::vector{&first, &second} : std::vector{&second, &first}) {
            const Timed timed = timedRun(contender->argv, environment, cwd);
            if (timed.status != 0) failWithOutput(contender->step, contender->argv, environment, cwd, scratch);
            contender->times.push_back(timed.wall);
        }
    }
}

} // namespace torvex::bench
