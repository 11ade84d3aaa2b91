#include "Log.h"

#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace torvex {

namespace Log {
namespace {
const Logger& logger(const char* category) {
    // Never destroyed: detached threads may log during exit.
    return *new Logger(std::string(subsystem), category);
}
} // namespace

const Logger& build() { static const Logger& value = logger("build"); return value; }
const Logger& flutter() { static const Logger& value = logger("flutter"); return value; }
const Logger& process() { static const Logger& value = logger("process"); return value; }
} // namespace Log

FileLog::FileLog(std::filesystem::path url) : url_(std::move(url)) {
    std::error_code ignored;
    std::filesystem::create_directories(url_.parent_path(), ignored);
    // Truncate first, then append: two writers of one file never overwrite each other.
    fd_ = ::open(url_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

FileLog::~FileLog() {
    if (fd_ >= 0) (void)::close(fd_);
}

void FileLog::write(std::string_view line) {
    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes.append(line);
    bytes.push_back('\n');

    const std::lock_guard guard(lock_);
    if (fd_ < 0) return;
    writeAll(fd_, bytes);  // a failed write loses the line, never the process
}

} // namespace torvex
