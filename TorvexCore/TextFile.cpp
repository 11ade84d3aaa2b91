#include "TextFile.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

namespace torvex {

namespace fs = std::filesystem;

bool isValidUTF8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        char32_t value = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

namespace {

[[noreturn]] void fail(const char* operation, const fs::path& file, int error) {
    throw fs::filesystem_error(operation, file, std::error_code(error != 0 ? error : EIO, std::generic_category()));
}

} // namespace

std::string readFileOrThrow(const fs::path& file) {
    std::error_code error;
    if (fs::is_directory(file, error)) fail("cannot read", file, EISDIR);
    std::ifstream in(file, std::ios::binary);
    if (!in) fail("cannot read", file, errno);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) fail("cannot read", file, errno);
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
