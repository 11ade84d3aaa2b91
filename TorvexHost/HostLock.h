#pragma once

#include "Core/FileLock.h"

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

    // Creates the socket's folder (each missing folder with mode 0700) and takes the lock without
    // waiting, writing this process's pid into it. None when another process holds it. Throws a
    // TorvexError when the folder or the lock file cannot be made, locked or written.
    static std::optional<HostLock> acquire(const std::filesystem::path& socket);

    // The pid the lock file names; none when it names none (a host may be about to write it).
    static std::optional<pid_t> holder(const std::filesystem::path& socket);

private:
    explicit HostLock(FileLock lock) : lock_(std::move(lock)) {}
    FileLock lock_;
};

} // namespace torvex::host
