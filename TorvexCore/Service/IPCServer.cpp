#include "IPCServer.h"

#include "LineReader.h"
#include "UnixSocket.h"
#include "Core/HostReplacement.h"
#include "Core/Log.h"

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

namespace torvex {

namespace {

// Closes a descriptor at the end of its scope.
struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

TorvexError openError(int code) {
    return TorvexError(TorvexError::Kind::generic, "Could not open the Torvex socket.", std::strerror(code),
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

    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    UnixSocket::checkFolder(folder.empty() ? "." : folder);

    // A socket left by an earlier run is replaced; any other file stays, and bind then fails.
    struct stat existing {};
    if (::lstat(path_.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) ::unlink(path_.c_str());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw TorvexError(TorvexError::Kind::generic, "Could not create the Torvex socket.", std::strerror(errno),
                          hostReplacementFix(::getpid()));
    sockaddr_un address{};
    try {
        address = UnixSocket::address(path_);
    } catch (...) {
        ::close(fd);
        throw;
    }
    // On Linux the file takes the socket's mode at bind, so it is never open to others, even briefly.
    (void)::fchmod(fd, 0600);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = errno;
        ::close(fd);
        throw openError(code);
    }
    struct stat bound {};
    const auto fail = [&](int code) {
        ::close(fd);
        if (::lstat(path_.c_str(), &bound) == 0 && S_ISSOCK(bound.st_mode)) ::unlink(path_.c_str());
        return openError(code);
    };
    if (::lstat(path_.c_str(), &bound) != 0) throw fail(errno);
    if (::chmod(path_.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) throw fail(errno);

    auto stopping = std::make_shared<std::atomic<bool>>(false);
    try {
        acceptThread_ = std::thread(acceptLoop, fd, stopping, handler_, stallLimit_, trusted_);
    } catch (const std::system_error& error) {
        throw fail(error.code().value());
    }
    listenFD_ = fd;
    boundDevice_ = bound.st_dev;
    boundInode_ = bound.st_ino;
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
    if (::lstat(path_.c_str(), &current) == 0 && current.st_dev == boundDevice_ && current.st_ino == boundInode_)
        ::unlink(path_.c_str());
}

} // namespace torvex
