#include "IPCServer.h"

#include "LineReader.h"
#include "SocketFolder.h"
#include "UnixSocket.h"
#include "Core/HostReplacement.h"
#include "Core/Log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <system_error>
#include <utility>

namespace torvex {
namespace fs = std::filesystem;

namespace {

// Closes a descriptor at the end of its scope, unless it was released.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// `where`: what the system's text is about ("<path>: "), when it is not the socket.
TorvexError openError(int code, const std::string& where = "") {
    return TorvexError(TorvexError::Kind::generic, "Could not open the Torvex socket.", where + std::strerror(code),
                       "End other Torvex hosts with `kill <pid>` (`pgrep -a torvex-host` shows them), then try again.");
}

// Waits 50-100 ms: the system is short of descriptors or memory, which closing conversations frees.
void pauseBeforeRetry() {
    thread_local std::minstd_rand generator(static_cast<unsigned>(std::random_device{}()));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution(50, 100)(generator)));
}

void runHandler(const IPCHandler& handler, const IPCRequest& request,
                const std::shared_ptr<IPCConnection>& connection, std::stop_token stop) {
    try {
        handler(request, connection, std::move(stop));
    } catch (const TorvexError& error) {
        Log::process().error(fmt::format("request {} ({}) threw: {}", request.id, request.cmd, error.description()));
    } catch (const std::exception& error) {
        Log::process().error(fmt::format("request {} ({}) threw: {}", request.id, request.cmd, error.what()));
    } catch (...) {
        Log::process().error(fmt::format("request {} ({}) threw", request.id, request.cmd));
    }
}

// One conversation, on its own thread: hello, one request run in a task of its own, one more read
// that ends with the task or with the client, cancellation, and the descriptor closed last. The
// wait for a cancelled task has no limit of its own: what could hold it, a send to a client that
// reads nothing, gives up after the stall limit.
void serve(int fd, const std::shared_ptr<const IPCHandler>& handler, std::chrono::milliseconds stallLimit) noexcept {
    const Descriptor descriptor{fd};
    try {
        const auto connection = std::make_shared<IPCConnection>(fd, stallLimit);
        connection->send(IPCMessage::hello());
        LineReader reader(fd);
        const auto line = reader.next(IPCServer::maxRequestBytes);
        const auto request = line ? decodeRequest(*line) : std::nullopt;
        if (!request) {
            connection->close();
            return;
        }

        std::jthread task;
        try {
            task = std::jthread([handler, connection, request = *request](std::stop_token stop) {
                runHandler(*handler, request, connection, std::move(stop));
                connection->close();
            });
        } catch (const std::system_error& error) {
            Log::process().error(fmt::format("no thread for request {}: {}", request->id, error.what()));
            connection->close();
            return;
        }

        reader.skipLine();
        task.request_stop();
        task.join();
    } catch (...) {
        // Out of memory: the descriptor closes once the task (if any) has ended.
    }
}

void acceptLoop(int listenFD, const std::shared_ptr<std::atomic<bool>>& stopping,
                const std::shared_ptr<const IPCHandler>& handler, std::chrono::milliseconds stallLimit,
                UnixSocket::UserCheck trusted) noexcept {
    ::pthread_setname_np(::pthread_self(), "Torvex IPC");
    while (!stopping->load()) {
        const int fd = ::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            const int code = errno;
            if (stopping->load()) break;
            if (code == EINTR || code == ECONNABORTED || code == EPROTO) continue;
            pauseBeforeRetry();  // EMFILE, ENFILE, ENOBUFS, ENOMEM and anything unforeseen
            continue;
        }
        // Peers of this user, and root, may talk to the server.
        const auto peer = UnixSocket::peerUser(fd);
        if (!peer || !trusted(*peer)) {
            ::close(fd);
            continue;
        }
        try {
            std::thread(serve, fd, handler, stallLimit).detach();
        } catch (...) {
            ::close(fd);
        }
    }
}

} // namespace

IPCServer::IPCServer(std::filesystem::path path, IPCHandler handler, std::chrono::milliseconds stallLimit,
                     UnixSocket::UserCheck trusted)
    : path_(path.string()),
      handler_(std::make_shared<const IPCHandler>(std::move(handler))),
      stallLimit_(stallLimit),
      trusted_(trusted) {}

IPCServer::~IPCServer() { stop(); }

void IPCServer::start() {
    const std::lock_guard guard(lifecycle_);
    if (listenFD_ >= 0)
        throw TorvexError(TorvexError::Kind::generic, "The Torvex socket is already open.",
                          "This server already listens on " + path_ + ".", "Stop the server before starting it again.");

    // The folder is checked once and then reached only through its descriptor; another user can
    // neither swap it nor put anything into it.
    const fs::path socket(path_);
    const std::string name = socket.filename().string();
    std::optional<SocketFolder> folder;
    try {
        folder.emplace(SocketFolder::open(socket.parent_path().empty() ? "." : socket.parent_path(), false));
    } catch (const fs::filesystem_error& error) {
        throw openError(error.code().value(), error.path1().string() + ": ");
    }

    Descriptor listener{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    const int fd = listener.fd;
    if (fd < 0)
        throw TorvexError(TorvexError::Kind::generic, "Could not create the Torvex socket.", std::strerror(errno),
                          hostReplacementFix(::getpid()));
    const sockaddr_un address = UnixSocket::address(path_);

    // A socket that an earlier host left is replaced; one that is still served, another user's, or
    // any other file stays, and bind then fails.
    struct stat existing {};
    if (::fstatat(folder->fd(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(existing.st_mode)) {
        if (auto foreign = UnixSocket::foreignSocket(path_)) throw *foreign;
        if (!UnixSocket::isStale(path_))
            throw TorvexError(TorvexError::Kind::generic, "Could not open the Torvex socket.",
                              "Another program serves " + path_ + ", and Torvex leaves it alone.",
                              "End that program (`ss -xlp` names it), or set TORVEX_SOCKET to another path.");
        ::unlinkat(folder->fd(), name.c_str(), 0);
    }

    // On Linux the file takes the socket's mode at bind (less the umask), so it is never open to
    // others, even briefly, and no path is followed to set it.
    (void)::fchmod(fd, 0600);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) throw openError(errno);
    struct stat bound {};
    const auto fail = [&](int code) {
        struct stat current {};
        if (::fstatat(folder->fd(), name.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
            current.st_dev == bound.st_dev && current.st_ino == bound.st_ino)
            ::unlinkat(folder->fd(), name.c_str(), 0);
        return openError(code);
    };
    if (::fstatat(folder->fd(), name.c_str(), &bound, AT_SYMLINK_NOFOLLOW) != 0) throw openError(errno);
    if (!S_ISSOCK(bound.st_mode)) throw openError(EEXIST);
    // A umask that took owner bits away; the name is not followed should it be a link.
    if ((bound.st_mode & 07777) != 0600 && ::fchmodat(folder->fd(), name.c_str(), 0600, AT_SYMLINK_NOFOLLOW) != 0)
        throw fail(errno);
    if (::listen(fd, 16) != 0) throw fail(errno);

    auto stopping = std::make_shared<std::atomic<bool>>(false);
    try {
        acceptThread_ = std::thread(acceptLoop, fd, stopping, handler_, stallLimit_, trusted_);
    } catch (const std::system_error& error) {
        throw fail(error.code().value());
    }
    listenFD_ = listener.release();
    boundDevice_ = bound.st_dev;
    boundInode_ = bound.st_ino;
    folder_ = std::move(folder);
    name_ = name;
    stopping_ = std::move(stopping);
}

void IPCServer::stop() {
    const std::lock_guard guard(lifecycle_);
    if (listenFD_ < 0) return;
    stopping_->store(true);
    // Wakes the accept thread: closing alone does not, on Linux.
    ::shutdown(listenFD_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFD_);
    listenFD_ = -1;
    struct stat current {};
    if (::fstatat(folder_->fd(), name_.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
        current.st_dev == boundDevice_ && current.st_ino == boundInode_)
        ::unlinkat(folder_->fd(), name_.c_str(), 0);
    folder_.reset();
}

} // namespace torvex
