// torvex-cc: started through the links shim-clang, shim-clang++ and shim-windres, it reads the
// llvm-mingw bin folder from the file "mingw-bin" beside the link, translates the MSVC-style
// arguments and replaces itself with the matching llvm-mingw tool.

#include "MSVCFlagTranslator.h"
#include "UTF8.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {
namespace fs = std::filesystem;
namespace MSVCFlagTranslator = torvex::MSVCFlagTranslator;

enum class Translation { compiler, resourceCompiler };

struct Mode {
    std::string_view invokedAs;
    std::string_view tool;
    Translation translation;
};

constexpr Mode modes[] = {
    {"shim-clang", "x86_64-w64-mingw32-clang", Translation::compiler},
    {"shim-clang++", "x86_64-w64-mingw32-clang++", Translation::compiler},
    {"shim-windres", "x86_64-w64-mingw32-windres", Translation::resourceCompiler},
};

// Unbuffered, so the lines come out whole and in order before the exec.
void writeToStandardError(const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

[[noreturn]] void fail(const std::string& message) {
    writeToStandardError("torvex-cc: " + message + "\n");
    std::_Exit(2);
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\v\f";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The text of the file, or nothing when it cannot be read or is not UTF-8.
std::optional<std::string> readUTF8File(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || !torvex::isValidUTF8(text)) return std::nullopt;
    return text;
}

bool fileOrFolderExists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') fail("no program name");

    // The link's own path, not its target: "mingw-bin" lies beside the link.
    std::error_code error;
    const fs::path invokedAs = fs::path(argv[0]).is_absolute() ? fs::path(argv[0]) : fs::absolute(argv[0], error);
    if (error) fail("cannot make " + std::string(argv[0]) + " absolute: " + error.message());
    const fs::path toolsDir = invokedAs.parent_path();
    const std::vector<std::string> arguments(argv + 1, argv + argc);

    const std::optional<std::string> mingwBinText = readUTF8File(toolsDir / "mingw-bin");
    if (!mingwBinText) fail("no mingw-bin file next to " + invokedAs.string());
    const std::string bin(trimmed(*mingwBinText));

    const std::string name = invokedAs.filename().string();
    const Mode* mode = std::find_if(std::begin(modes), std::end(modes),
                                    [&](const Mode& candidate) { return candidate.invokedAs == name; });
    if (mode == std::end(modes)) fail("unknown name " + name);

    std::vector<std::string> translated;
    if (mode->translation == Translation::compiler) {
        MSVCFlagTranslator::Result result = MSVCFlagTranslator::translateCompilerArguments(arguments, fileOrFolderExists);
        for (const std::string& flag : result.unknownDropped) {
            writeToStandardError("torvex-cc: dropping unknown MSVC flag " + flag + "\n");
        }
        translated = std::move(result.arguments);
    } else {
        translated = MSVCFlagTranslator::translateResourceCompilerArguments(arguments);
    }

    std::string executable = bin + "/" + std::string(mode->tool);
    std::vector<char*> execArgv;
    execArgv.reserve(translated.size() + 2);
    execArgv.push_back(executable.data());
    for (std::string& argument : translated) execArgv.push_back(argument.data());
    execArgv.push_back(nullptr);

    ::execv(executable.c_str(), execArgv.data());
    fail("could not run " + executable + ": " + std::strerror(errno));
}
