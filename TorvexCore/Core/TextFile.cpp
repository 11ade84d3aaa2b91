#include "TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

namespace torvex {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* operation, const fs::path& file, int error) {
    throw fs::filesystem_error(operation, file, std::error_code(error != 0 ? error : EIO, std::generic_category()));
}

void removeQuietly(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

} // namespace

std::string readFileOrThrow(const fs::path& file) {
    std::string bytes;
    if (const int error = readWholeFile(file, bytes); error != 0) fail("cannot read", file, error);
    return bytes;
}

void writeFileBytes(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) fail("cannot write", file, errno);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) fail("cannot write", file, errno);
}

void writeFileAtomically(const fs::path& file, std::string_view bytes) {
    std::string pattern = file.string() + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) fail("cannot create a temporary file", pattern, errno);
    const fs::path temporary = pattern;
    int failure = writeAll(fd, bytes);
    if (failure == 0 && (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0)) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure != 0) {
        removeQuietly(temporary);
        fail("cannot write", temporary, failure);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        failure = errno;
        removeQuietly(temporary);
        fail("cannot replace", file, failure);
    }
    const int folder = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        (void)::close(folder);
    }
}

} // namespace torvex
