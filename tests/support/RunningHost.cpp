#include "support/RunningHost.h"

#include "support/Spawn.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace torvex::testing {
namespace fs = std::filesystem;

fs::path RunningHost::program() { return builtBundle() / "Contents" / "MacOS" / "torvex-host"; }

RunningHost::RunningHost(const fs::path& folder, const std::map<std::string, std::string>& environment,
                         const std::vector<std::string>& arguments, std::optional<int> closedDescriptor) {
    static std::atomic<int> counter = 0;
    const std::string stem = "host-" + std::to_string(++counter);
    stdoutFile_ = folder / (stem + ".out");
    stderrFile_ = folder / (stem + ".err");
    ::signal(SIGPIPE, SIG_IGN);  // a line sent to a host that has ended fails instead of ending the test
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    input_ = input[1];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (closedDescriptor) posix_spawn_file_actions_addclose(&actions, *closedDescriptor);
    std::vector<std::string> argv{program().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = mergedEnvironment(environment);
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envpPointers = pointers(envp);
    const int started =
        posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, argvPointers.data(), envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    if (started != 0) {
        ::close(input_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(started));
    }
}

RunningHost::~RunningHost() {
    if (!status_) {
        ::kill(pid_, SIGTERM);
        (void)exitStatusWithin(pid_, std::chrono::seconds(20));  // which kills it with SIGKILL after that
    }
    ::close(input_);
}

std::vector<nlohmann::json> RunningHost::events() const {
    std::vector<nlohmann::json> events;
    std::istringstream lines(readFile(stdoutFile_));
    for (std::string line; std::getline(lines, line);) {
        auto event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_discarded()) events.push_back(std::move(event));
    }
    return events;
}

std::optional<nlohmann::json> RunningHost::waitFor(const std::string& name, std::chrono::milliseconds limit,
                                                    const std::function<bool(const nlohmann::json&)>& matches) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        const bool ended = status_.has_value();
        for (const auto& event : events()) {
            const bool named = name.empty() || event.value("event", "") == name || event.value("answer", "") == name;
            if (named && (!matches || matches(event))) return event;
        }
        if (ended || std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string RunningHost::output() const {
    return "standard output:\n" + readFile(stdoutFile_) + "standard error:\n" + readFile(stderrFile_);
}

void RunningHost::send(const std::string& line) const {
    const std::string bytes = line + "\n";
    if (::write(input_, bytes.data(), bytes.size()) != ssize_t(bytes.size())) throw std::runtime_error("the host reads no more");
}

std::optional<int> RunningHost::end(std::optional<int> signal, std::chrono::milliseconds limit) {
    if (status_) return status_;
    if (signal) ::kill(pid_, *signal);
    status_ = exitStatusWithin(pid_, limit);
    if (!status_) status_ = -1;  // killed: the destructor has nothing left to do
    return *status_ >= 0 ? status_ : std::nullopt;
}

} // namespace torvex::testing
