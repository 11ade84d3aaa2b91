#include "TextFile.h"

#include <cerrno>
#include <fstream>
#include <system_error>

namespace torvex {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* operation, const fs::path& file, int error) {
    throw fs::filesystem_error(operation, file, std::error_code(error != 0 ? error : EIO, std::generic_category()));
}

} // namespace

std::string readFileOrThrow(const fs::path& file) {
    std::string bytes;
    if (const int error = readRegularFile(file, bytes); error != 0) fail("cannot read", file, error);
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
