#include "Files.h"

#include "TextFile.h"
#include "TextPattern.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvex {
namespace fs = std::filesystem;

fs::path resolvedPath(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path.empty() ? fs::path(".") : path, error);
    if (error) absolute = path;
    fs::path standard = absolute.lexically_normal();
    fs::path resolved = fs::weakly_canonical(standard, error);
    if (error) resolved = standard;
    if (!resolved.has_filename() && resolved.has_relative_path()) resolved = resolved.parent_path();
    return resolved;
}

namespace {

// Everything left to read from `fd`, which it closes; none on a read error (a folder, say).
std::optional<std::string> readAndClose(int fd) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) break;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            ::close(fd);
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return bytes;
}

} // namespace

std::optional<std::string> readFileBytes(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    return readAndClose(fd);
}

std::optional<std::string> readRegularFile(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    return readAndClose(fd);
}

std::optional<std::string> readUTF8File(const fs::path& file) {
    auto bytes = readFileBytes(file);
    if (!bytes || !isValidUTF8(*bytes)) return std::nullopt;
    return bytes;
}

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

std::string lowercasedASCII(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

std::string trimmedWhitespace(const std::string& text) {
    static const TextPattern edges(R"(\A\s+|\s+\z)");
    return edges.replaceAll(text, "");
}

} // namespace torvex
