#include "Files.h"

#include "TextFile.h"
#include "TextPattern.h"

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

namespace {

[[noreturn]] void throwSystemError(int code, const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(code, std::generic_category()));
}

} // namespace

void writeFileAtomically(const fs::path& file, std::string_view bytes, unsigned mode) {
    std::string pattern = file.string() + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) throwSystemError(errno, "cannot create a temporary file", pattern);
    const fs::path temporary = pattern;
    int failure = writeAll(fd, bytes);
    if (failure == 0 && (::fchmod(fd, static_cast<mode_t>(mode)) != 0 || ::fsync(fd) != 0)) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) failure = errno;
    if (failure != 0) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throwSystemError(failure, "cannot write", file);
    }
    const int folder = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        (void)::close(folder);
    }
}

bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

std::string trimmedWhitespace(const std::string& text) {
    static const TextPattern edges(R"(\A\s+|\s+\z)");
    return edges.replaceAll(text, "");
}

} // namespace torvex
