#include "FileLock.h"

#include "StoppableSleep.h"
#include "TorvexError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace torvex {
namespace fs = std::filesystem;

std::optional<FileLock> FileLock::acquire(const fs::path& file, std::stop_token stop,
                                          std::optional<std::chrono::milliseconds> patience,
                                          const std::function<void()>& waiting) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw fs::filesystem_error("cannot open the lock file", file, std::error_code(errno, std::generic_category()));
    FileLock lock(fd);

    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::milliseconds(1);
    bool told = false;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        if (code == EINTR) continue;
        if (code != EWOULDBLOCK)
            throw fs::filesystem_error("cannot lock the file", file, std::error_code(code, std::generic_category()));
        if (patience && std::chrono::steady_clock::now() - start > *patience) return std::nullopt;
        if (!told && waiting) waiting();
        told = true;
        // The pauses grow to a tenth of a second.
        if (!sleepUnlessStopped(pause, stop)) throw Cancelled{};
        pause = std::min(pause * 2, std::chrono::milliseconds(100));
    }
    return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

void FileLock::write(std::string_view text) const {
    std::size_t written = 0;
    if (::ftruncate(fd_, 0) == 0) {
        while (written < text.size()) {
            const ssize_t count = ::pwrite(fd_, text.data() + written, text.size() - written, static_cast<off_t>(written));
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) break;
            written += static_cast<std::size_t>(count);
        }
    }
    if (written < text.size())
        throw fs::filesystem_error("cannot write the lock file", std::error_code(errno, std::generic_category()));
}

FileLock::~FileLock() {
    if (fd_ >= 0) (void)::close(fd_);  // closing releases the lock
}

} // namespace torvex
