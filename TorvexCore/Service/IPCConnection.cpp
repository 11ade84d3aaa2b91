#include "IPCConnection.h"

#include "UnixSocket.h"

#include <sys/socket.h>

namespace torvex {

IPCConnection::IPCConnection(int fd, std::chrono::milliseconds stallLimit) : fd_(fd), stallLimit_(stallLimit) {}

void IPCConnection::send(const IPCMessage& message) {
    const std::string line = encode(message);
    const std::lock_guard guard(lock_);
    if (closed_) return;
    if (!UnixSocket::writeLine(fd_, line, stallLimit_)) {
        closed_ = true;
        // The server's own read of this socket returns, so a client that stalled is cancelled
        // like one that hung up.
        shutDownLocked();
    }
}

void IPCConnection::close() {
    const std::lock_guard guard(lock_);
    closed_ = true;
    shutDownLocked();
}

void IPCConnection::shutDownLocked() {
    if (shutDown_) return;
    ::shutdown(fd_, SHUT_RDWR);
    shutDown_ = true;
}

} // namespace torvex
