#include "Files.h"

#include "TextFile.h"
#include "TextPattern.h"
#include "TorvexError.h"

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

std::string kindOfFile(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

namespace {

[[noreturn]] void refuseSpecialFile(const fs::path& file, mode_t mode) {
    throw TorvexError(TorvexError::Kind::unsupported, file.string() + " is not a regular file.",
                      "It is " + kindOfFile(mode) +
                          ". Torvex reads only regular files, since reading anything else may never end.",
                      "Replace it with a regular file (or a link to one), then try again.");
}

// Reads the whole of a regular file (links followed) into `bytes`: 0, the errno that stopped it
// (EISDIR for a folder), or -1 for anything else, whose mode goes to `special`. Never blocks on
// opening: the file is checked with stat, and opened non-blocking in case it changed since.
int readIfRegular(const fs::path& file, std::string& bytes, mode_t& special) {
    bytes.clear();
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return errno;
    if (S_ISDIR(info.st_mode)) return EISDIR;
    special = info.st_mode;
    if (!S_ISREG(info.st_mode)) return -1;
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    const auto failed = [fd](int error) {
        ::close(fd);
        return error;
    };
    if (::fstat(fd, &info) != 0) return failed(errno);
    if (S_ISDIR(info.st_mode)) return failed(EISDIR);
    special = info.st_mode;
    if (!S_ISREG(info.st_mode)) return failed(-1);
    if (const int flags = ::fcntl(fd, F_GETFL); flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return failed(errno);
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) break;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return failed(errno);
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return 0;
}

} // namespace

int readWholeFile(const fs::path& file, std::string& bytes) {
    mode_t special = 0;
    const int result = readIfRegular(file, bytes, special);
    if (result == -1) refuseSpecialFile(file, special);
    return result;
}

std::optional<std::string> readFileBytes(const fs::path& file) {
    std::string bytes;
    if (readWholeFile(file, bytes) != 0) return std::nullopt;
    return bytes;
}

std::optional<std::string> readRegularFile(const fs::path& file) {
    std::string bytes;
    mode_t special = 0;
    if (readIfRegular(file, bytes, special) != 0) return std::nullopt;
    return bytes;
}

std::optional<std::string> readUTF8File(const fs::path& file) {
    auto bytes = readFileBytes(file);
    if (!bytes || !isValidUTF8(*bytes)) return std::nullopt;
    return bytes;
}

bool leavesItsFolder(std::string_view member) {
    if (member.starts_with('/') || member.starts_with('\\')) return true;
    while (!member.empty()) {
        const auto end = member.find_first_of("/\\");
        if (member.substr(0, end) == "..") return true;
        if (end == std::string_view::npos) break;
        member.remove_prefix(end + 1);
    }
    return false;
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

std::string trimmedWhitespace(const std::string& text) {
    static const TextPattern edges(R"(\A\s+|\s+\z)");
    return edges.replaceAll(text, "");
}

} // namespace torvex
