#include "UnixSocket.h"

#include "Core/Platform/SocketQueue.h"
#include "Core/TorvexError.h"

#include <linux/sockios.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace torvex {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes written to the socket that its peer has not read yet; -1 when the system does not say. The
// socket's own count (SIOCOUTQ) serves when the peer's is not to be had; it falls by whole buffers.
int unreadBytes(int fd) {
    if (const auto unread = unreadByPeer(fd)) return static_cast<int>(std::min<std::size_t>(*unread, std::numeric_limits<int>::max()));
    int count = 0;
    return ::ioctl(fd, SIOCOUTQ, &count) == 0 ? count : -1;
}

// "nobody, uid 65534", or "uid 65534" when the system knows no name for it.
std::string userText(uid_t user) {
    std::vector<char> buffer(16 * 1024);
    passwd account{};
    passwd* found = nullptr;
    const std::string uid = "uid " + std::to_string(user);
    if (::getpwuid_r(user, &account, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return uid;
    return account.pw_name + (", " + uid);
}

} // namespace

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

bool UnixSocket::writeLine(int fd, std::string_view bytes, std::optional<std::chrono::milliseconds> stallLimit) {
    std::string line;
    line.reserve(bytes.size() + 1);
    line.append(bytes);
    line.push_back('\n');
    // With a limit the writes never block: a full buffer is waited on here, where the peer's reading
    // can be watched. It counts as reading while the bytes it has not read yet grow fewer.
    const int flags = MSG_NOSIGNAL | (stallLimit ? MSG_DONTWAIT : 0);
    auto lastRead = Clock::now();
    int unread = -1;  // as last seen; -1: not seen since the last write
    std::size_t offset = 0;
    while (offset < line.size()) {
        const ssize_t written = ::send(fd, line.data() + offset, line.size() - offset, flags);
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
            lastRead = Clock::now();
            unread = -1;
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (!stallLimit || written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;

        const auto now = Clock::now();
        const int count = unreadBytes(fd);
        if (unread >= 0 && count >= 0 && count < unread) lastRead = now;
        unread = count;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lastRead + *stallLimit - now);
        if (left.count() <= 0) return false;
        // A slow reader frees room without waking the poll, so the wait is cut short to look again.
        pollfd writable{fd, POLLOUT, 0};
        (void)::poll(&writable, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 250)));
    }
    return true;
}

std::optional<uid_t> UnixSocket::peerUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) return std::nullopt;
    return peer.uid;
}

bool UnixSocket::isTrustedUser(uid_t user, uid_t self) { return user == self || user == 0; }

bool UnixSocket::isTrustedUser(uid_t user) { return isTrustedUser(user, ::geteuid()); }

bool UnixSocket::isStale(const std::string& path) {
    const sockaddr_un target = address(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (result != 0 && errno == EINTR);
    const bool stale = result != 0 && errno == ECONNREFUSED;
    ::close(fd);
    return stale;
}

std::optional<TorvexError> UnixSocket::foreignSocket(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || isTrustedUser(info.st_uid)) return std::nullopt;
    return TorvexError(TorvexError::Kind::appNotRunning, "Another user's socket is in the way.",
                       path.string() + " is a socket of another user (" + userText(info.st_uid) +
                           "), so Torvex can neither serve there nor talk to whoever does.",
                       "Set TORVEX_SOCKET to a path in a folder only you can write to, or ask that user to remove " +
                           path.string() + ".");
}

} // namespace torvex
