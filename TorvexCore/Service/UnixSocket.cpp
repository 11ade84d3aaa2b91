#include "UnixSocket.h"

#include "Core/TorvexError.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace torvex {

sockaddr_un UnixSocket::address(const std::string& path) {
    if (path.size() > maxPathBytes)
        throw TorvexError(TorvexError::Kind::generic, "The Torvex socket path is too long.",
                          "Torvex socket paths are limited to 103 bytes: " + path,
                          "Set TORVEX_SOCKET to a shorter path, e.g. /tmp/torvex-" + std::to_string(::getuid()) +
                              ".sock.");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

std::optional<int> UnixSocket::connect(const std::string& path) {
    sockaddr_un target{};
    try {
        target = address(path);
    } catch (const TorvexError&) {
        return std::nullopt;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return fd;
}

bool UnixSocket::writeLine(int fd, std::string_view bytes) {
    std::string line;
    line.reserve(bytes.size() + 1);
    line.append(bytes);
    line.push_back('\n');
    std::size_t offset = 0;
    while (offset < line.size()) {
        const ssize_t written = ::send(fd, line.data() + offset, line.size() - offset, MSG_NOSIGNAL);
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace torvex
