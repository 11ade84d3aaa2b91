#include "ResourceScriptCopy.h"

#include "RegularFile.h"

#include "Build/MSVCFlagTranslator.h"
#include "Core/ASCII.h"
#include "Core/UTF8.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace torvex::cc {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t scriptLimit = 64 * 1024 * 1024;
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::optional<std::size_t> scriptArgument(const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (i > 0 && arguments[i - 1] == "-o") continue;
        if (argument.empty() || argument.front() == '-' || !lowercasedASCII(argument).ends_with(".rc")) continue;
        return i;
    }
    return std::nullopt;
}

// The folder of the object file: the value of "-o", else the argument after the script (windres
// takes the output as its second file name, which is how CMake passes it).
fs::path objectFolder(const std::vector<std::string>& arguments, std::size_t script) {
    std::optional<fs::path> object;
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-o") object = arguments[i + 1];
    }
    if (!object && script + 1 < arguments.size() && !arguments[script + 1].starts_with('-')) object = arguments[script + 1];
    const fs::path folder = object ? object->parent_path() : fs::path();
    return folder.empty() ? fs::path(".") : folder;
}

// `#line 1 "<path>"`, or nothing for a path that a string literal cannot hold as it is.
std::string lineDirective(const std::string& path) {
    std::string literal;
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
        if (c == '"' || c == '\\') literal += '\\';
        literal += c;
    }
    return "#line 1 \"" + literal + "\"\n";
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

ResourceScriptCopy copyPatchedResourceScript(const std::vector<std::string>& arguments) {
    ResourceScriptCopy copy{arguments, {}, {}};
    const std::optional<std::size_t> script = scriptArgument(arguments);
    if (!script) return copy;
    const fs::path original = arguments[*script];
    RegularFileRead read = readRegularFile(original, scriptLimit);
    // Another encoding (UTF-16, say) is left to the tool, as staging leaves it.
    if (read.fault != RegularFileRead::Fault::none || !isValidUTF8(read.bytes) ||
        read.bytes.find('\0') != std::string::npos)
        return copy;
    std::string_view text = read.bytes;
    const bool marked = text.starts_with(byteOrderMark);
    if (marked) text.remove_prefix(byteOrderMark.size());
    const std::string patched = MSVCFlagTranslator::translateResourceScript(text);
    if (patched == text) return copy;

    std::string folder = (objectFolder(arguments, *script) / (original.filename().string() + ".torvex-XXXXXX")).string();
    if (::mkdtemp(folder.data()) == nullptr) {
        copy.problem = "cannot make a folder for the patched copy of " + original.string() + ": " + std::strerror(errno);
        return copy;
    }
    const fs::path patchedScript = fs::path(folder) / original.filename();
    const std::string contents = std::string(marked ? byteOrderMark : "") + lineDirective(original.string()) + patched;
    const int fd = ::open(patchedScript.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0 && writeAll(fd, contents);
    int error = written ? 0 : errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        copy.problem = "cannot write the patched copy of " + original.string() + ": " + std::strerror(error);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        return copy;
    }
    copy.folder = folder;
    copy.arguments[*script] = patchedScript.string();
    fs::path ownFolder = original.parent_path();
    if (ownFolder.empty()) ownFolder = ".";
    copy.arguments.insert(copy.arguments.begin(), {"-I", ownFolder.string()});
    return copy;
}

void removeResourceScriptCopy(const ResourceScriptCopy& copy) {
    if (copy.folder.empty()) return;
    std::error_code ignored;
    fs::remove_all(copy.folder, ignored);
}

} // namespace torvex::cc
