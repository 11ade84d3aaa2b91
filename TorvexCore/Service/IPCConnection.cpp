#include "IPCConnection.h"

#include "UnixSocket.h"

#include <sys/socket.h>

namespace torvex {

IPCConnection::IPCConnection(int fd) : fd_(fd) {}

void IPCConnection::send(const IPCMessage& message) {
    const std::string line = encode(message);
    const std::lock_guard guard(lock_);
    if (closed_) return;
    if (!UnixSocket::writeLine(fd_, line)) closed_ = true;
}

void IPCConnection::close() {
    const std::lock_guard guard(lock_);
    closed_ = true;
    // Also after a failed write: the server's own read of this socket waits for the shutdown.
    if (!shutDown_) {
        ::shutdown(fd_, SHUT_RDWR);
        shutDown_ = true;
    }
}

void IPCConnection::interrupt() {
    // Only reaches the socket while the server keeps the descriptor open, which it does until
    // the handler has returned.
    ::shutdown(fd_, SHUT_RDWR);
}

} // namespace torvex
