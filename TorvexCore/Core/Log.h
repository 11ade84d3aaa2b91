#pragma once

#include "Platform/SystemLog.h"

#include <filesystem>
#include <mutex>
#include <string_view>

namespace torvex {

// The system log's channels: one subsystem, three categories.
namespace Log {
inline constexpr std::string_view subsystem = "dev.torvex.Torvex";
const Logger& build();
const Logger& flutter();
const Logger& process();
} // namespace Log

// A plain text log: emptied when created, one line per write, shared by all its writers.
// Never throws; when the file cannot be made or opened, writes do nothing.
class FileLog {
public:
    explicit FileLog(std::filesystem::path url);
    ~FileLog();
    FileLog(const FileLog&) = delete;
    FileLog& operator=(const FileLog&) = delete;

    const std::filesystem::path& url() const { return url_; }

    // Appends the line and a line feed in one write.
    void write(std::string_view line);

private:
    const std::filesystem::path url_;
    int fd_ = -1;
    std::mutex lock_;
};

} // namespace torvex
