#include "TextFile.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace torvex {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* operation, const fs::path& file, int error) {
    throw fs::filesystem_error(operation, file, std::error_code(error != 0 ? error : EIO, std::generic_category()));
}

} // namespace

std::string readFileOrThrow(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot read", file, errno);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            const int code = errno;  // EISDIR for a folder
            ::close(fd);
            fail("cannot read", file, code);
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return bytes;
}

void writeFileBytes(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) fail("cannot write", file, errno);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) fail("cannot write", file, errno);
}

} // namespace torvex
