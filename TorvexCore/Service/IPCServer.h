#pragma once

#include "IPCConnection.h"
#include "Messages.h"
#include "SocketFolder.h"
#include "UnixSocket.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <sys/types.h>
#include <thread>

namespace torvex {

// Runs one request to its end: sends its log lines and its one result or error through the
// connection, and stops early once `stop` is requested (the client hung up or sent more).
// Called on a thread of its own, from any number of conversations at once. The connection may be
// kept and used after the handler returned; its lines are then dropped.
using IPCHandler =
    std::function<void(const IPCRequest& request, const std::shared_ptr<IPCConnection>& connection, std::stop_token stop)>;

// Listens on a Unix-domain socket. Each client gets a hello, then one request line, which runs in
// the handler on a thread of its own; a second line or a hang-up from the client cancels it.
// A conversation keeps its own threads and ends by itself; stopping the server does not end it.
class IPCServer {
public:
    // The longest first line a client may send; a longer one is dropped unanswered.
    static constexpr std::size_t maxRequestBytes = 1024 * 1024;

    // `stallLimit`: how long a client may read nothing while a line for it waits (IPCConnection).
    // `trusted`: whose clients are served; the others' connections are closed unanswered.
    IPCServer(std::filesystem::path path, IPCHandler handler,
              std::chrono::milliseconds stallLimit = IPCConnection::defaultStallLimit,
              UnixSocket::UserCheck trusted = UnixSocket::isTrustedUser);
    ~IPCServer();  // stop()
    IPCServer(const IPCServer&) = delete;
    IPCServer& operator=(const IPCServer&) = delete;

    // Replaces a socket left at the path that nothing serves any more (never anything else: a
    // socket still served or another user's is refused), binds it with mode 0600 and starts
    // accepting on the thread "Torvex IPC". Throws TorvexError when that fails (nothing is then
    // left open or bound), when the server already listens, or when other users could change the
    // socket's folder or a folder on its way (SocketFolder).
    void start();

    // Stops accepting, waits for the accept thread and removes the socket file it bound (only that
    // one). Requests in progress run to their end. Harmless when not listening.
    void stop();

private:
    std::string path_;
    std::shared_ptr<const IPCHandler> handler_;
    std::chrono::milliseconds stallLimit_;
    UnixSocket::UserCheck trusted_;

    std::mutex lifecycle_;  // start() and stop()
    int listenFD_ = -1;
    std::optional<SocketFolder> folder_;  // while listening
    std::string name_;                    // of the socket in it
    dev_t boundDevice_ = 0;
    ino_t boundInode_ = 0;
    std::shared_ptr<std::atomic<bool>> stopping_;
    std::thread acceptThread_;
};

} // namespace torvex
