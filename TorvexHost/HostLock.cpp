#include "HostLock.h"

#include "Core/TorvexError.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <charconv>
#include <fstream>
#include <string>

namespace torvex::host {
namespace fs = std::filesystem;

namespace {

TorvexError lockError(const std::string& what, const std::string& why, const fs::path& socket) {
    return TorvexError(TorvexError::Kind::generic, what, why,
                       "Check the folder " + socket.parent_path().string() +
                           ", or set TORVEX_SOCKET to a path in a folder of your own.");
}

// Each missing folder of `folder` made with mode 0700 (less what the umask takes away).
std::error_code makeFolders(const fs::path& folder) {
    fs::path partial;
    for (const auto& component : folder) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return {errno, std::generic_category()};
    }
    if (!fs::is_directory(folder)) return std::make_error_code(std::errc::not_a_directory);
    return {};
}

} // namespace

fs::path HostLock::file(const fs::path& socket) { return fs::path(socket.string() + ".lock"); }

std::optional<HostLock> HostLock::acquire(const fs::path& socket) {
    const fs::path folder = socket.parent_path().empty() ? fs::path(".") : socket.parent_path();
    if (const std::error_code error = makeFolders(folder))
        throw lockError("Could not create the folder of the Torvex socket.", folder.string() + ": " + error.message() + ".",
                        socket);
    try {
        auto lock = FileLock::acquire(file(socket), {}, std::chrono::milliseconds(0));
        if (!lock) return std::nullopt;
        lock->write(std::to_string(::getpid()) + "\n");
        return HostLock(std::move(*lock));
    } catch (const fs::filesystem_error& error) {
        throw lockError("Could not lock the Torvex socket.",
                        file(socket).string() + ": " + error.code().message() + ".", socket);
    }
}

std::optional<pid_t> HostLock::holder(const fs::path& socket) {
    std::ifstream in(file(socket));
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
    return pid;
}

} // namespace torvex::host
