#include "ProcessRunner.h"

#include "Log.h"
#include "UTF8.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace torvex {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto drainTime = 2s;
constexpr auto killDelay = 3s;
constexpr size_t readBlock = 65536;

std::string errorText(int code) { return std::generic_category().message(code); }

// The line's text: one trailing carriage return dropped, UTF-8 repaired.
void decodeLine(std::string& text, const char* bytes, size_t size) {
    if (size > 0 && bytes[size - 1] == '\r') --size;
    text.clear();
    appendRepairedUTF8(text, std::string_view(bytes, size));
}

// Tells the waiting run when both pumps reached the end of their streams.
struct DrainState {
    std::mutex lock;
    std::condition_variable changed;
    int open = 2;

    void finished() {
        const std::lock_guard guard(lock);
        --open;
        changed.notify_all();
    }
};

// Reads `fd` to its end, handing every line to `onLine`; closes `fd`.
void pump(int fd, OutputStreamKind kind, const std::shared_ptr<const LineHandler>& onLine) {
    std::unique_ptr<char[]> buffer(new char[readBlock]);
    std::string pending;
    OutputLine line{kind, {}};
    const auto deliver = [&](const char* bytes, size_t size) {
        decodeLine(line.text, bytes, size);
        (*onLine)(line);
    };
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), readBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const char* cursor = buffer.get();
        const char* const end = cursor + n;
        while (cursor < end) {
            const auto* newline = static_cast<const char*>(std::memchr(cursor, '\n', static_cast<size_t>(end - cursor)));
            if (newline == nullptr) {
                pending.append(cursor, end);
                break;
            }
            if (pending.empty()) {
                deliver(cursor, static_cast<size_t>(newline - cursor));
            } else {
                pending.append(cursor, newline);
                deliver(pending.data(), pending.size());
                pending.clear();
            }
            cursor = newline + 1;
        }
    }
    if (!pending.empty()) deliver(pending.data(), pending.size());
    (void)::close(fd);
}

struct Child {
    pid_t pid;
    int standardOutput;
    int standardError;
};

TorvexError startError(const ProcessSpec& spec, int code) {
    return TorvexError(TorvexError::Kind::generic, "Could not start " + spec.executable.string() + ".",
                       errorText(code), "Check that the file exists and is executable.");
}

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// NUL-terminated copies of `strings` and the null-terminated pointer array over them.
class CStringArray {
public:
    explicit CStringArray(std::vector<std::string> strings) : strings_(std::move(strings)) {
        pointers_.reserve(strings_.size() + 1);
        for (auto& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    char* const* get() const { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

void closeAll(std::initializer_list<int> fds) {
    for (const int fd : fds) (void)::close(fd);
}

Child spawn(const ProcessSpec& spec) {
    std::vector<std::string> arguments{spec.executable.string()};
    arguments.insert(arguments.end(), spec.arguments.begin(), spec.arguments.end());
    Environment merged = currentEnvironment();
    for (const auto& [name, value] : spec.environment) merged[name] = value;
    std::vector<std::string> environment;
    environment.reserve(merged.size());
    for (const auto& [name, value] : merged) environment.push_back(name + "=" + value);

    // A NUL byte would silently cut the string short in the child.
    bool invalid = holdsNul(spec.executable.native()) ||
                   (spec.currentDirectory && holdsNul(spec.currentDirectory->native()));
    for (const auto& s : arguments) invalid = invalid || holdsNul(s);
    for (const auto& s : environment) invalid = invalid || holdsNul(s);
    if (invalid) throw startError(spec, EINVAL);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        const int code = errno;
        throw TorvexError(TorvexError::Kind::generic, "Could not start " + spec.executable.filename().string() + ".",
                          "pipe() failed: " + errorText(code) + ".", "Close some apps and try again.");
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        const int code = errno;
        closeAll({out[0], out[1]});
        throw TorvexError(TorvexError::Kind::generic, "Could not start " + spec.executable.filename().string() + ".",
                          "pipe() failed: " + errorText(code) + ".", "Close some apps and try again.");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (spec.currentDirectory) posix_spawn_file_actions_addchdir_np(&actions, spec.currentDirectory->c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);

    const CStringArray argv(std::move(arguments));
    const CStringArray envp(std::move(environment));
    pid_t pid = 0;
    const int code = ::posix_spawn(&pid, spec.executable.c_str(), &actions, &attributes, argv.get(), envp.get());

    closeAll({out[1], err[1]});
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (code != 0) {
        closeAll({out[0], err[0]});
        throw startError(spec, code);
    }
    return Child{pid, out[0], err[0]};
}

// Starts a detached pump; when no thread can be made the stream is closed unread.
void startPump(int fd, OutputStreamKind kind, std::shared_ptr<const LineHandler> onLine,
               std::shared_ptr<DrainState> drain) {
    try {
        std::thread([fd, kind, onLine = std::move(onLine), drain] {
            pump(fd, kind, onLine);
            drain->finished();
        }).detach();
    } catch (const std::system_error& error) {
        Log::process().error(fmt::format("no reader thread for {}: {}", fd, error.what()));
        (void)::close(fd);
        drain->finished();
    }
}

// The child's exit code, or 255 when it cannot be waited for.
std::int32_t reap(pid_t pid) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) break;
        if (errno == EINTR) continue;
        Log::process().error(fmt::format("waitpid {} failed: {}", pid, errorText(errno)));
        return 255;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

} // namespace

std::string_view streamName(OutputStreamKind kind) {
    return kind == OutputStreamKind::standardOutput ? "stdout" : "stderr";
}

ProcessRunner& ProcessRunner::shared() {
    static ProcessRunner* const runner = new ProcessRunner();  // never destroyed: pumps outlive main
    return *runner;
}

std::optional<fs::path> ProcessRunner::which(const std::string& name, const std::vector<std::string>& extraPaths) {
    std::vector<std::string> folders = extraPaths;
    const Environment environment = currentEnvironment();
    if (const auto path = environment.find("PATH"); path != environment.end()) {
        size_t start = 0;
        while (start <= path->second.size()) {
            const size_t colon = std::min(path->second.find(':', start), path->second.size());
            if (colon > start) folders.push_back(path->second.substr(start, colon - start));
            start = colon + 1;
        }
    }
    folders.emplace_back("/opt/homebrew/bin");
    folders.emplace_back("/usr/local/bin");

    for (const auto& folder : folders) {
        std::error_code ignored;
        const fs::path candidate = fs::absolute(folder, ignored) / name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

void ProcessRunner::terminateGroup(pid_t pid) {
    (void)::kill(-pid, SIGTERM);
    try {
        std::thread([pid] {
            std::this_thread::sleep_for(killDelay);
            (void)::kill(-pid, SIGKILL);
        }).detach();
    } catch (const std::system_error&) {
        (void)::kill(-pid, SIGKILL);  // no timer thread: do not leave the group running
    }
}

std::int32_t ProcessRunner::run(const ProcessSpec& spec, LineHandler onLine, std::stop_token stop) {
    const Child child = spawn(spec);
    {
        const std::lock_guard guard(lock_);
        running_.insert(child.pid);
    }
    Log::process().debug(fmt::format("spawned {} {}", child.pid, spec.executable.string()));

    std::int32_t exitCode = 0;
    {
        const std::stop_callback onStop(stop, [pid = child.pid] { terminateGroup(pid); });

        if (!onLine) onLine = [](const OutputLine&) {};
        auto handler = std::make_shared<const LineHandler>(std::move(onLine));
        auto drain = std::make_shared<DrainState>();
        startPump(child.standardOutput, OutputStreamKind::standardOutput, handler, drain);
        startPump(child.standardError, OutputStreamKind::standardError, std::move(handler), drain);

        exitCode = reap(child.pid);
        std::unique_lock wait(drain->lock);
        drain->changed.wait_for(wait, drainTime, [&] { return drain->open == 0; });
    }

    const std::lock_guard guard(lock_);
    running_.erase(child.pid);
    return exitCode;
}

ProcessResult ProcessRunner::capture(const ProcessSpec& spec, std::stop_token stop) {
    struct Collector {
        std::mutex lock;
        std::vector<OutputLine> lines;
    };
    auto collector = std::make_shared<Collector>();
    const std::int32_t code = run(
        spec,
        [collector](const OutputLine& line) {
            const std::lock_guard guard(collector->lock);
            collector->lines.push_back(line);
        },
        std::move(stop));

    ProcessResult result;
    result.exitCode = code;
    const std::lock_guard guard(collector->lock);
    bool started[2] = {false, false};
    for (const auto& line : collector->lines) {
        const bool isOutput = line.stream == OutputStreamKind::standardOutput;
        std::string& text = isOutput ? result.standardOutput : result.standardError;
        if (started[isOutput ? 0 : 1]) text.push_back('\n');
        started[isOutput ? 0 : 1] = true;
        text.append(line.text);
    }
    return result;
}

void ProcessRunner::terminateAll() {
    std::set<pid_t> pids;
    {
        const std::lock_guard guard(lock_);
        pids = running_;
    }
    for (const pid_t pid : pids) terminateGroup(pid);
}

} // namespace torvex
