#include "HostLock.h"

#include "Core/Files.h"
#include "Core/TorvexError.h"
#include "Service/UnixSocket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
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

TorvexError lockFileError(const std::string& why, const fs::path& socket) {
    return lockError("Could not lock the Torvex socket.", HostLock::file(socket).string() + why, socket);
}

// Each missing folder of `folder` made with mode 0700 (less what the umask takes away).
std::error_code makeFolders(const fs::path& folder) {
    fs::path partial;
    for (const auto& component : folder) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return {errno, std::generic_category()};
    }
    if (!fs::is_directory(folder)) return std::make_error_code(std::errc::not_a_directory);
    return {};
}

} // namespace

fs::path HostLock::file(const fs::path& socket) { return fs::path(socket.string() + ".lock"); }

std::optional<HostLock> HostLock::acquire(const fs::path& socket) {
    const fs::path folder = socket.parent_path().empty() ? fs::path(".") : socket.parent_path();
    if (const std::error_code error = makeFolders(folder))
        throw lockError("Could not create the folder of the Torvex socket.", folder.string() + ": " + error.message() + ".",
                        socket);
    UnixSocket::checkFolder(folder);

    // Never through a link, and without blocking on a FIFO or taking a terminal planted there.
    const int fd = ::open(file(socket).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ELOOP) throw lockFileError(" is a symbolic link, which Torvex does not follow.", socket);
        throw lockFileError(": " + std::string(std::strerror(errno)) + ".", socket);
    }
    HostLock lock(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw lockFileError(": " + std::string(std::strerror(errno)) + ".", socket);
    if (!S_ISREG(info.st_mode)) throw lockFileError(" is " + kindOfFile(info.st_mode) + ", not a lock file.", socket);
    if (info.st_uid != ::geteuid())
        throw lockFileError(" belongs to another user (uid " + std::to_string(info.st_uid) + ").", socket);
    if (info.st_nlink != 1) throw lockFileError(" has other names (hard links), so it may be another file.", socket);

    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return std::nullopt;
        throw lockFileError(": " + std::string(std::strerror(errno)) + ".", socket);
    }
    const int written = ::ftruncate(fd, 0) != 0 ? errno : writeAll(fd, std::to_string(::getpid()) + "\n");
    if (written != 0) throw lockFileError(": " + std::string(std::strerror(written)) + ".", socket);
    return lock;
}

std::optional<pid_t> HostLock::holder(const fs::path& socket) {
    const auto bytes = readRegularFile(file(socket));
    if (!bytes) return std::nullopt;
    const std::string text = bytes->substr(0, bytes->find('\n'));
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
    return pid;
}

HostLock::HostLock(HostLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

HostLock::~HostLock() {
    if (fd_ >= 0) ::close(fd_);
}

} // namespace torvex::host
