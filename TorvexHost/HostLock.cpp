#include "HostLock.h"

#include "Core/Files.h"
#include "Core/TorvexError.h"
#include "Service/SocketFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

namespace torvex::host {
namespace fs = std::filesystem;

namespace {

TorvexError lockError(const std::string& what, const std::string& why, const fs::path& socket) {
    return TorvexError(TorvexError::Kind::generic, what, why,
                       "Check the folder " + socket.parent_path().string() +
                           ", or set TORVEX_SOCKET to a path in a folder of your own.");
}

// How a failure to take one of the locks is told: " is a symbolic link, ..." follows the file's name.
using LockFailure = std::function<TorvexError(const std::string& why)>;

// Opens `name` in the folder `folder` and takes its lock without waiting, with `contents` written
// into it. None when another process holds it.
std::optional<int> lockFile(int folder, const std::string& name, const std::string& contents, const LockFailure& failure) {
    // Never through a link, and without blocking on a FIFO or taking a terminal planted there.
    const int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ELOOP) throw failure(" is a symbolic link, which Torvex does not follow.");
        throw failure(": " + std::string(std::strerror(errno)) + ".");
    }
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw failure(": " + std::string(std::strerror(errno)) + ".");
    if (!S_ISREG(info.st_mode)) throw failure(" is " + kindOfFile(info.st_mode) + ", not a lock file.");
    if (info.st_uid != ::geteuid()) throw failure(" belongs to another user (uid " + std::to_string(info.st_uid) + ").");
    if (info.st_nlink != 1) throw failure(" has other names (hard links), so it may be another file.");

    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return std::nullopt;
        throw failure(": " + std::string(std::strerror(errno)) + ".");
    }
    const int written = ::ftruncate(fd, 0) != 0 ? errno : writeAll(fd, contents);
    if (written != 0) throw failure(": " + std::string(std::strerror(written)) + ".");
    return std::exchange(closer.fd, -1);
}

// The lines of a lock file, the first a pid; none when there is no such file or no pid in it.
std::optional<std::pair<pid_t, std::string>> lockFileLines(const fs::path& file) {
    const auto bytes = readRegularFile(file);
    if (!bytes) return std::nullopt;
    const std::size_t end = bytes->find('\n');
    const std::string text = bytes->substr(0, end);
    pid_t pid = 0;
    const auto [last, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || last != text.data() + text.size() || pid <= 0) return std::nullopt;
    return std::pair(pid, end == std::string::npos ? std::string() : bytes->substr(end + 1));
}

} // namespace

fs::path HostLock::file(const fs::path& socket) { return fs::path(socket.string() + ".lock"); }

fs::path HostLock::stateFile(const fs::path& support) { return support / "torvex-host.lock"; }

std::optional<HostLock> HostLock::acquire(const fs::path& socket) {
    const fs::path folder = socket.parent_path().empty() ? fs::path(".") : socket.parent_path();
    const SocketFolder opened = [&] {
        try {
            return SocketFolder::open(folder, true);
        } catch (const fs::filesystem_error& error) {
            throw lockError("Could not create the folder of the Torvex socket.",
                            error.path1().string() + ": " + error.code().message() + ".", socket);
        }
    }();
    const auto fd = lockFile(opened.fd(), file(socket).filename().string(), std::to_string(::getpid()) + "\n",
                             [&](const std::string& why) {
                                 return lockError("Could not lock the Torvex socket.", file(socket).string() + why, socket);
                             });
    if (!fd) return std::nullopt;
    return HostLock(*fd);
}

std::optional<HostLock> HostLock::acquireState(const fs::path& support, const fs::path& socket) {
    const auto failure = [&](const std::string& why) {
        return TorvexError(TorvexError::Kind::generic, "Could not lock the Torvex state.", stateFile(support).string() + why,
                           "Check the folder " + support.string() +
                               ", or set TORVEX_SUPPORT_DIR to a folder of your own.");
    };
    std::error_code error;
    fs::create_directories(support, error);
    if (error) throw failure(": " + error.message() + ".");
    const auto fd = lockFile(AT_FDCWD, stateFile(support).string(),
                             std::to_string(::getpid()) + "\n" + socket.string() + "\n", failure);
    if (!fd) return std::nullopt;
    return HostLock(*fd);
}

std::optional<pid_t> HostLock::holder(const fs::path& socket) {
    const auto lines = lockFileLines(file(socket));
    if (!lines) return std::nullopt;
    return lines->first;
}

std::optional<HostLock::Holder> HostLock::stateHolder(const fs::path& support) {
    const auto lines = lockFileLines(stateFile(support));
    if (!lines) return std::nullopt;
    std::string socket = lines->second.substr(0, lines->second.find('\n'));
    return Holder{lines->first, socket.empty() ? std::nullopt : std::optional<fs::path>(std::move(socket))};
}

HostLock::HostLock(HostLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

HostLock::~HostLock() {
    if (fd_ >= 0) ::close(fd_);
}

} // namespace torvex::host
