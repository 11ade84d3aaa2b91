// torvex-cc: started through the links shim-clang, shim-clang++ and shim-windres, it reads the
// llvm-mingw bin folder from the file "mingw-bin" beside the link, translates the MSVC-style
// arguments, lets a link find SDK libraries whatever the letter case of their names (the links
// in "sdk-libraries" beside it), and replaces itself with the matching llvm-mingw tool. A resource
// script that still needs the staging patch (a plugin's) is compiled from a patched copy, which the
// wrapper removes once the tool has ended.

#include "RegularFile.h"
#include "ResourceScriptCopy.h"

#include "Build/MSVCFlagTranslator.h"
#include "Build/SDKLibraryLinks.h"
#include "Core/StandardDescriptors.h"
#include "Core/UTF8.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
namespace fs = std::filesystem;
namespace MSVCFlagTranslator = torvex::MSVCFlagTranslator;
namespace SDKLibraryLinks = torvex::SDKLibraryLinks;

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

// "torvex-cc: " and the message as one line, whatever it holds: control characters (a line end in
// a path) become "?".
void warn(const std::string& message) {
    std::string line = "torvex-cc: " + message;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    writeToStandardError(line + "\n");
}

[[noreturn]] void fail(const std::string& message) {
    warn(message);
    std::_Exit(2);
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\v\f";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Where the shell found the program: argv[0] itself when it holds a "/"; else, as execvp searches,
// the first PATH folder (an empty entry is the working folder) with an executable file of that name,
// or the working folder when none has one.
fs::path invokedPath(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
    for (;;) {
        const std::size_t colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        const fs::path candidate = fs::path(folder.empty() ? "." : std::string(folder)) / name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) return name;
        folders.remove_prefix(colon + 1);
    }
}

constexpr std::size_t mingwBinLimit = 4096;

// The llvm-mingw bin folder named by the "mingw-bin" file in `toolsDir`, read from a regular file
// only, at most mingwBinLimit bytes, without ever blocking; a relative folder is taken against
// `toolsDir`. Every fault ends the run (fail).
fs::path readMingwBin(const fs::path& toolsDir, const fs::path& invokedAs) {
    using Fault = torvex::cc::RegularFileRead::Fault;
    const fs::path file = toolsDir / "mingw-bin";
    const std::string missing = "no mingw-bin file next to " + invokedAs.string();
    const torvex::cc::RegularFileRead read = torvex::cc::readRegularFile(file, mingwBinLimit);
    if (read.fault == Fault::cannotOpen || read.fault == Fault::cannotRead) fail(missing);
    if (read.fault == Fault::notRegular) fail(file.string() + " is not a regular file");
    if (read.fault == Fault::tooLarge) fail(file.string() + " is larger than " + std::to_string(mingwBinLimit) + " bytes");
    const std::string& text = read.bytes;
    if (!torvex::isValidUTF8(text)) fail(missing);
    const std::string_view bin = trimmed(text);
    if (bin.empty()) fail(file.string() + " is empty");
    if (bin.find_first_of(std::string_view("\0\n\r", 3)) != std::string_view::npos)
        fail(file.string() + " holds more than one path");
    return toolsDir / bin;  // an absolute path replaces toolsDir
}

bool fileOrFolderExists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

// Runs the tool to its end, removes the copy of the script it read, and ends as the tool ended.
// The signals that stop a build reach the tool (one process group) and are held here until the
// copy is gone.
[[noreturn]] void runThenRemove(const std::string& executable, const std::vector<char*>& argv,
                                const torvex::cc::ResourceScriptCopy& copy) {
    sigset_t stopping;
    sigset_t previous;
    sigemptyset(&stopping);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stopping, signal);
    ::sigprocmask(SIG_BLOCK, &stopping, &previous);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &previous);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, executable.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    int status = 0;
    if (spawned == 0) {
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    torvex::cc::removeResourceScriptCopy(copy);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (spawned != 0) fail("could not run " + executable + ": " + std::strerror(spawned));
    if (WIFSIGNALED(status)) {
        ::signal(WTERMSIG(status), SIG_DFL);
        ::raise(WTERMSIG(status));
    }
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 2);
}

// Becomes the tool, or fails; never returns.
[[noreturn]] void run(int argc, char** argv) {
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') fail("no program name");

    // The link's own path, not its target: "mingw-bin" lies beside the link.
    std::error_code error;
    const fs::path found = invokedPath(argv[0]);
    const fs::path invokedAs = found.is_absolute() ? found : fs::absolute(found, error);
    if (error) fail("cannot make " + std::string(argv[0]) + " absolute: " + error.message());
    const fs::path toolsDir = invokedAs.parent_path();
    const std::vector<std::string> arguments(argv + 1, argv + argc);

    const std::string bin = readMingwBin(toolsDir, invokedAs).string();

    const std::string name = invokedAs.filename().string();
    const Mode* mode = std::find_if(std::begin(modes), std::end(modes),
                                    [&](const Mode& candidate) { return candidate.invokedAs == name; });
    if (mode == std::end(modes)) fail("unknown name " + name);

    std::vector<std::string> translated;
    if (mode->translation == Translation::compiler) {
        MSVCFlagTranslator::Result result = MSVCFlagTranslator::translateCompilerArguments(arguments, fileOrFolderExists);
        for (const std::string& flag : result.unknownDropped) {
            warn("dropping unknown MSVC flag " + flag);
        }
        translated = std::move(result.arguments);
        if (SDKLibraryLinks::isLinkCommand(translated)) {
            SDKLibraryLinks::Prepared link = SDKLibraryLinks::prepareLink(
                translated, toolsDir / "sdk-libraries", SDKLibraryLinks::sdkLibraryFolder(bin));
            for (const std::string& problem : link.problems) warn(problem);
            translated = std::move(link.arguments);
        }
    } else {
        translated = MSVCFlagTranslator::translateResourceCompilerArguments(arguments);
    }

    std::string executable = bin + "/" + std::string(mode->tool);
    std::optional<torvex::cc::ResourceScriptCopy> copy;
    if (mode->translation == Translation::resourceCompiler) {
        copy = torvex::cc::copyPatchedResourceScript(translated);
        if (!copy->problem.empty()) warn(copy->problem);
        translated = copy->arguments;
    }
    std::vector<char*> execArgv;
    execArgv.reserve(translated.size() + 2);
    execArgv.push_back(executable.data());
    for (std::string& argument : translated) execArgv.push_back(argument.data());
    execArgv.push_back(nullptr);

    if (copy && !copy->folder.empty()) runThenRemove(executable, execArgv, *copy);
    ::execv(executable.c_str(), execArgv.data());
    fail("could not run " + executable + ": " + std::strerror(errno));
}

} // namespace

int main(int argc, char** argv) {
    // Before "mingw-bin" is opened, which would otherwise take the number of a closed one, and the
    // tool inherit it as its standard output or error.
    if (torvex::openStandardDescriptors() < 0) std::_Exit(2);
    try {
        run(argc, argv);
    } catch (const std::exception& error) {
        fail(std::string("internal error: ") + error.what());
    }
}
