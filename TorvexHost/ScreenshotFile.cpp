#include "ScreenshotFile.h"

#include "Core/Files.h"
#include "Core/TorvexError.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

namespace torvex::host {
namespace fs = std::filesystem;

namespace {

TorvexError saveError(const fs::path& path, const std::string& why) {
    return TorvexError(TorvexError::Kind::generic, "Could not save the screenshot.", path.string() + ": " + why + ".",
                       "Free some disk space, or choose another capture folder (set-capture-folder).");
}

std::string stem(std::chrono::system_clock::time_point taken) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(taken);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[64];
    std::strftime(text, sizeof text, "Torvex Screenshot %Y-%m-%d at %H.%M.%S", &local);
    return text;
}

} // namespace

fs::path saveScreenshot(const std::string& png, const fs::path& folder, std::chrono::system_clock::time_point taken) {
    std::error_code made;
    fs::create_directories(folder, made);
    if (made) throw saveError(folder, made.message());

    const std::string name = stem(taken);
    for (int number = 1;; ++number) {
        const fs::path file = folder / (number == 1 ? name + ".png" : name + " " + std::to_string(number) + ".png");
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST && number < 1000) continue;
            throw saveError(file, std::strerror(errno));
        }
        const int failed = writeAll(fd, png);
        if (::close(fd) == 0 && failed == 0) return file;
        const int code = failed != 0 ? failed : errno;
        ::unlink(file.c_str());
        throw saveError(file, std::strerror(code));
    }
}

} // namespace torvex::host
