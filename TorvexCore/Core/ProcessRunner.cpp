#include "ProcessRunner.h"

#include "Log.h"
#include "Platform/ProcessTree.h"
#include "UTF8.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
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

// Cuts a line piece from `bytes` (more than maxLineBytes long): at most maxLineBytes, and before a
// character that would otherwise be split.
size_t pieceLength(const char* bytes) {
    const auto continuation = [&](size_t at) { return (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80; };
    size_t cut = ProcessRunner::maxLineBytes;
    while (cut > ProcessRunner::maxLineBytes - 3 && continuation(cut)) --cut;
    return continuation(cut) ? ProcessRunner::maxLineBytes : cut;
}

// Turns one stream's bytes into lines for the handler. A handler that throws is logged and the
// stream read on, so the child never blocks on a full pipe.
class LineSplitter {
public:
    LineSplitter(OutputStreamKind kind, const LineHandler& onLine, pid_t pid)
        : onLine_(onLine), pid_(pid), line_{kind, {}} {}

    void add(const char* bytes, size_t size) {
        const char* const end = bytes + size;
        while (bytes < end) {
            const auto* newline = static_cast<const char*>(std::memchr(bytes, '\n', static_cast<size_t>(end - bytes)));
            if (newline == nullptr) {
                pending_.append(bytes, end);
                break;
            }
            if (pending_.empty()) {
                deliverLine(bytes, static_cast<size_t>(newline - bytes));
            } else {
                pending_.append(bytes, newline);
                deliverLine(pending_.data(), pending_.size());
                pending_.clear();
            }
            bytes = newline + 1;
        }
        // A line without its newline yet: hand on its front once it is too long to keep (one byte
        // more is kept: it may be the carriage return before the newline).
        size_t taken = 0;
        while (pending_.size() - taken > ProcessRunner::maxLineBytes + 1) {
            const size_t piece = pieceLength(pending_.data() + taken);
            deliver(pending_.data() + taken, piece);
            taken += piece;
        }
        pending_.erase(0, taken);
    }

    // The end of the stream: the partial line, if any, is the last line.
    void finish() {
        if (!pending_.empty()) deliverLine(pending_.data(), pending_.size());
        pending_.clear();
        if (failures_ > 1)
            Log::process().error(fmt::format("the {} handler of {} failed on {} lines in all", streamName(line_.stream),
                                             pid_, failures_));
    }

private:
    // A whole line without its newline: one carriage return before it is dropped.
    void deliverLine(const char* bytes, size_t size) {
        if (size > 0 && bytes[size - 1] == '\r') --size;
        while (size > ProcessRunner::maxLineBytes) {
            const size_t piece = pieceLength(bytes);
            deliver(bytes, piece);
            bytes += piece;
            size -= piece;
        }
        deliver(bytes, size);
    }

    // A line or a piece of one, UTF-8 repaired.
    void deliver(const char* bytes, size_t size) {
        try {
            line_.text.clear();
            appendRepairedUTF8(line_.text, std::string_view(bytes, size));
            onLine_(line_);
        } catch (...) {
            if (++failures_ > 1) return;
            try {
                Log::process().error(fmt::format("the {} handler of {} failed: {}; the stream is read on",
                                                 streamName(line_.stream), pid_, describeCurrentException()));
            } catch (...) {
            }
        }
    }

    const LineHandler& onLine_;
    const pid_t pid_;
    OutputLine line_;
    std::string pending_;
    std::int64_t failures_ = 0;
};

// Reads `fd` until its end, or until `wake` is readable, and discards what it reads.
void discard(int fd, int wake) {
    char buffer[4096];
    pollfd watched[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[1].revents != 0) return;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
    }
}

// Reads `fd` to its end, or until `wake` is readable, handing every line to `onLine`.
void pump(int fd, int wake, OutputStreamKind kind, const LineHandler& onLine, pid_t pid) {
    std::unique_ptr<char[]> buffer(new char[readBlock]);
    LineSplitter lines(kind, onLine, pid);
    pollfd watched[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};  // a negative descriptor is not watched
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents != 0) break;
        const ssize_t n = ::read(fd, buffer.get(), readBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        lines.add(buffer.get(), static_cast<size_t>(n));
    }
    lines.finish();
}

} // namespace

// The two pumps of one run. The run waits on it for their end. Once the run has returned, pumps
// that a descendant still holds open go on until their streams end or they are told to stop.
class RunStreams {
public:
    RunStreams() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (wake_ < 0) Log::process().error(fmt::format("no stop signal for output readers: {}", errorText(errno)));
    }
    ~RunStreams() {
        watch_.reset();  // waits for a stop callback running on another thread
        if (wake_ >= 0) (void)::close(wake_);
    }
    RunStreams(const RunStreams&) = delete;
    RunStreams& operator=(const RunStreams&) = delete;

    int wake() const { return wake_; }

    void pumpEnded() {
        const std::lock_guard guard(lock_);
        --open_;
        changed_.notify_all();
    }

    // Waits at most `limit` for both pumps to end.
    void waitForEnd(std::chrono::steady_clock::duration limit) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, limit, [&] { return open_ == 0; });
    }

    // The run has returned: a stop request (earlier or later, or from `stop`) now ends the pumps.
    void release(const std::stop_token& stop) {
        {
            const std::lock_guard guard(lock_);
            released_ = true;
            if (stopped_) signal();
        }
        if (stop.stop_possible()) watch_.emplace(stop, [this] { requestStop(); });
    }

    void requestStop() {
        const std::lock_guard guard(lock_);
        stopped_ = true;
        if (released_) signal();
    }

private:
    void signal() {
        const std::uint64_t one = 1;
        if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
    }

    std::mutex lock_;
    std::condition_variable changed_;
    int open_ = 2;
    bool released_ = false;
    bool stopped_ = false;
    const int wake_;
    std::optional<std::stop_callback<std::function<void()>>> watch_;
};

// A started child and the process group it leads. Until the child is reaped its pid, and so the
// group's number, cannot be taken by another process; after that the group is signalled only while
// a member that was found in it still runs there.
class ChildGroup {
public:
    explicit ChildGroup(pid_t pid) : pid_(pid) {}

    pid_t pid() const { return pid_; }

    // Waits for the child's end and reaps it: answers its exit code (128 + signal when a signal
    // ended it), or 255 when it cannot be waited for.
    std::int32_t reap() {
        siginfo_t info{};
        // Waited for without reaping, so that a signal sent under lock_ never meets a reused pid.
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            break;
        }
        const std::lock_guard guard(lock_);
        int status = 0;
        for (;;) {
            if (::waitpid(pid_, &status, 0) == pid_) break;
            if (errno == EINTR) continue;
            Log::process().error(fmt::format("waitpid {} failed: {}", pid_, errorText(errno)));
            reaped_ = true;
            return 255;
        }
        reaped_ = true;
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return WEXITSTATUS(status);
    }

    // `signal` to the group while it is still the child's: before the child is reaped, or while one
    // of `members` (processes found in it) still runs in it, so that its number was never free.
    void signal(int signal, const std::vector<ProcessIdentity>& members) noexcept {
        const std::lock_guard guard(lock_);
        bool ours = !reaped_;
        for (auto member = members.begin(); !ours && member != members.end(); ++member) {
            try {
                // The reaped child itself is gone, whatever now runs under its pid.
                ours = member->pid != pid_ && member->group == pid_ &&
                       processIdentity(member->pid) == std::optional(*member);
            } catch (...) {
                // Out of memory while reading the process table: the group is not signalled.
            }
        }
        if (ours) (void)::kill(-pid_, signal);
    }

private:
    const pid_t pid_;
    std::mutex lock_;
    bool reaped_ = false;
};

namespace {

struct Child {
    pid_t pid;
    int standardOutput;  // -1 when the output goes to /dev/null
    int standardError;
};

TorvexError startError(const fs::path& executable, int code) {
    return TorvexError(TorvexError::Kind::generic, "Could not start " + executable.string() + ".", errorText(code),
                       "Check that the file exists and is executable.");
}

TorvexError pipeError(const fs::path& executable, int code) {
    return TorvexError(TorvexError::Kind::generic, "Could not start " + executable.filename().string() + ".",
                       "pipe() failed: " + errorText(code) + ".", "Close some apps and try again.");
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
    // Made absolute here: the child changes its folder before the program is looked up.
    std::error_code unresolved;
    fs::path executable = fs::absolute(spec.executable, unresolved);
    if (unresolved) executable = spec.executable;

    std::vector<std::string> arguments{executable.string()};
    arguments.insert(arguments.end(), spec.arguments.begin(), spec.arguments.end());
    Environment merged = currentEnvironment();
    for (const auto& [name, value] : spec.environment) merged[name] = value;
    std::vector<std::string> environment;
    environment.reserve(merged.size());
    for (const auto& [name, value] : merged) environment.push_back(name + "=" + value);

    // A NUL byte would silently cut the string short in the child.
    bool invalid = holdsNul(executable.native()) ||
                   (spec.currentDirectory && holdsNul(spec.currentDirectory->native()));
    for (const auto& s : arguments) invalid = invalid || holdsNul(s);
    for (const auto& s : environment) invalid = invalid || holdsNul(s);
    if (invalid) throw startError(executable, EINVAL);

    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (!spec.discardOutput) {
        if (::pipe2(out, O_CLOEXEC) != 0) throw pipeError(executable, errno);
        if (::pipe2(err, O_CLOEXEC) != 0) {
            const int code = errno;
            closeAll({out[0], out[1]});
            throw pipeError(executable, code);
        }
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (spec.discardOutput) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    }
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
    const int code = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.get(), envp.get());

    if (!spec.discardOutput) closeAll({out[1], err[1]});
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (code != 0) {
        if (!spec.discardOutput) closeAll({out[0], err[0]});
        throw startError(executable, code);
    }
    return Child{pid, out[0], err[0]};
}

// Starts a detached pump; when no thread can be made the stream is closed unread.
void startPump(int fd, OutputStreamKind kind, std::shared_ptr<const LineHandler> onLine,
               std::shared_ptr<RunStreams> streams, pid_t pid) {
    try {
        std::thread([fd, kind, onLine = std::move(onLine), streams, pid] {
            try {
                pump(fd, streams->wake(), kind, *onLine, pid);
            } catch (...) {
                // Out of memory for the reader itself: the child must still never block on the pipe.
                discard(fd, streams->wake());
            }
            (void)::close(fd);
            streams->pumpEnded();
        }).detach();
    } catch (const std::system_error& error) {
        Log::process().error(fmt::format("no reader thread for {}: {}", fd, error.what()));
        (void)::close(fd);
        streams->pumpEnded();
    }
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

namespace {

// The signal to the child's group and to every descendant it had when the stop began (`members`:
// the group's processes then): a tool such as Ninja starts each job in a process group of its own.
// Groups and descendants are signalled only while they are still what was found: a number whose
// process has ended may belong to another.
void signalTree(ChildGroup& group, const std::vector<ProcessIdentity>& descendants,
                const std::vector<ProcessIdentity>& members, int signal) noexcept {
    group.signal(signal, members);
    for (const ProcessIdentity& process : descendants) {
        try {
            if (!isSameProcessAlive(process)) continue;
            // A leader that still runs holds its group's number.
            if (process.group == process.pid && process.group != group.pid()) (void)::kill(-process.group, signal);
            (void)::kill(process.pid, signal);
        } catch (...) {
            // Out of memory while reading the process table.
        }
    }
}

} // namespace

void ProcessRunner::terminateGroup(const std::shared_ptr<ChildGroup>& group) {
    // Read before the tree falls apart. This runs in stop callbacks, which must not throw.
    std::vector<ProcessIdentity> descendants, members;
    try {
        descendants = descendantsOf(group->pid());
        members = processesInGroup(group->pid());
    } catch (...) {
    }
    signalTree(*group, descendants, members, SIGTERM);
    try {
        std::thread([group, descendants, members] {
            std::this_thread::sleep_for(killDelay);
            signalTree(*group, descendants, members, SIGKILL);
        }).detach();
    } catch (...) {
        signalTree(*group, descendants, members, SIGKILL);  // no timer thread: do not leave the tree running
    }
}

std::int32_t ProcessRunner::run(const ProcessSpec& spec, LineHandler onLine, std::stop_token stop) {
    const Child child = spawn(spec);
    const bool piped = child.standardOutput >= 0;
    auto streams = piped ? std::make_shared<RunStreams>() : nullptr;
    auto group = std::make_shared<ChildGroup>(child.pid);
    {
        const std::lock_guard guard(lock_);
        running_.push_back(group);
        std::erase_if(streams_, [](const std::weak_ptr<RunStreams>& entry) { return entry.expired(); });
        if (streams) streams_.push_back(streams);
    }
    Log::process().debug(fmt::format("spawned {} {}", child.pid, spec.executable.string()));

    std::int32_t exitCode = 0;
    {
        const std::stop_callback onStop(stop, [group] { terminateGroup(group); });

        if (piped) {
            if (!onLine) onLine = [](const OutputLine&) {};
            auto handler = std::make_shared<const LineHandler>(std::move(onLine));
            startPump(child.standardOutput, OutputStreamKind::standardOutput, handler, streams, child.pid);
            startPump(child.standardError, OutputStreamKind::standardError, std::move(handler), streams, child.pid);
        }

        exitCode = group->reap();
        if (streams) streams->waitForEnd(drainTime);
    }
    if (streams) streams->release(stop);

    const std::lock_guard guard(lock_);
    std::erase(running_, group);
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
    std::vector<std::shared_ptr<ChildGroup>> groups;
    std::vector<std::shared_ptr<RunStreams>> streams;
    {
        const std::lock_guard guard(lock_);
        groups = running_;
        for (const auto& entry : streams_)
            if (auto live = entry.lock()) streams.push_back(std::move(live));
    }
    for (const auto& group : groups) terminateGroup(group);
    for (const auto& live : streams) live->requestStop();
}

} // namespace torvex
