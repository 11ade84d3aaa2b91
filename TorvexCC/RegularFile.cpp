#include "RegularFile.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvex::cc {

RegularFileRead readRegularFile(const std::filesystem::path& path, std::size_t limit) {
    using Fault = RegularFileRead::Fault;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {Fault::cannotOpen, {}};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return {Fault::notRegular, {}};
    }
    std::string bytes;
    char chunk[65536];
    while (bytes.size() <= limit) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            ::close(fd);
            return {Fault::cannotRead, {}};
        }
        if (count == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(fd);
    if (bytes.size() > limit) return {Fault::tooLarge, {}};
    return {Fault::none, std::move(bytes)};
}

} // namespace torvex::cc
