#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string_view>

namespace torvex {

// An exclusive lock on a file (created when missing), held for the object's life. It excludes
// every other holder of the same file, in this process or another; a process that ends releases it.
class FileLock {
public:
    // Takes the lock, waiting while another holder has it; `waiting` is called once when it is not
    // free at once. Answers none when `patience` ran out first. Throws Cancelled when `stop` ends
    // the wait, and std::filesystem::filesystem_error when the file cannot be opened or locked.
    static std::optional<FileLock> acquire(const std::filesystem::path& file, std::stop_token stop = {},
                                           std::optional<std::chrono::milliseconds> patience = std::nullopt,
                                           const std::function<void()>& waiting = {});

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&&) = delete;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Replaces the locked file's contents with `text` (such as the holder's pid); the lock stays
    // held. Throws std::filesystem::filesystem_error when the file cannot be written.
    void write(std::string_view text) const;

private:
    explicit FileLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

} // namespace torvex
