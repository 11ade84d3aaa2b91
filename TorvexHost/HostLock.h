#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace torvex::host {

// Makes a process the one host of a socket: an exclusive lock on "<socket>.lock" beside the socket,
// holding the holder's pid. The lock ends with the process, however it ends, so a host killed
// with SIGKILL leaves nothing that stops the next one (its stale socket is replaced under the lock).
class HostLock {
public:
    // "<socket>.lock"
    static std::filesystem::path file(const std::filesystem::path& socket);

    // Creates the socket's folder (each missing folder with mode 0700), makes sure no other user can
    // put files into it (UnixSocket::checkFolder), and takes the lock without waiting, writing this
    // process's pid into it. The lock file must be this user's own regular file with no other name:
    // a link, a special file or another user's file there is refused, never opened through. None
    // when another process holds the lock. Throws a TorvexError when the folder is not safe or the
    // folder or the lock file cannot be made, locked or written.
    static std::optional<HostLock> acquire(const std::filesystem::path& socket);

    // The pid the lock file names; none when it names none (a host may be about to write it).
    static std::optional<pid_t> holder(const std::filesystem::path& socket);

    HostLock(HostLock&& other) noexcept;
    HostLock& operator=(HostLock&&) = delete;
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;
    ~HostLock();  // closing the file releases the lock

private:
    explicit HostLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

} // namespace torvex::host
