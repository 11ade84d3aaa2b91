#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace torvex::host {

// Makes a process the one host of a socket, and the one host of a state (support folder): an
// exclusive lock on "<socket>.lock" beside the socket and one on "torvex-host.lock" in the support
// folder, each holding the holder's pid (the state's also its socket). A lock ends with the process,
// however it ends, so a host killed with SIGKILL leaves nothing that stops the next one (its stale
// socket is replaced under the lock).
class HostLock {
public:
    // Who holds a lock, as its file says.
    struct Holder {
        pid_t pid;
        std::optional<std::filesystem::path> socket;  // the state's holder serves this socket
    };

    // "<socket>.lock"
    static std::filesystem::path file(const std::filesystem::path& socket);
    // support/"torvex-host.lock"
    static std::filesystem::path stateFile(const std::filesystem::path& support);

    // Creates the socket's folder (each missing folder with mode 0700), makes sure no other user can
    // change it or a folder on its way (SocketFolder), and takes the lock without waiting, writing
    // this process's pid into it. The lock file must be this user's own regular file with no other
    // name: a link, a special file or another user's file there is refused, never opened through.
    // None when another process holds the lock. Throws a TorvexError when the folder is not safe or
    // the folder or the lock file cannot be made, locked or written.
    static std::optional<HostLock> acquire(const std::filesystem::path& socket);

    // Takes the lock of the state in `support` (created when missing) for a host on `socket`, as
    // acquire() takes the socket's: none when another process holds it; the same refusals.
    static std::optional<HostLock> acquireState(const std::filesystem::path& support,
                                                const std::filesystem::path& socket);

    // The pid the socket's lock file names; none when it names none (a host may be about to write it).
    static std::optional<pid_t> holder(const std::filesystem::path& socket);
    // The host that the state's lock file names; none when it names none.
    static std::optional<Holder> stateHolder(const std::filesystem::path& support);

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
