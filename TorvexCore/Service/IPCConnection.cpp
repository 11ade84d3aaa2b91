#include "IPCConnection.h"

#include "UnixSocket.h"

#include <sys/socket.h>

namespace torvex {

IPCConnection::IPCConnection(int fd, std::chrono::milliseconds stallLimit) : fd_(fd), stallLimit_(stallLimit) {}

void IPCConnection::send(const IPCMessage& message) {
    const std::string line = encode(message);
    const std::lock_guard guard(lock_);
    if (closed_) return;
    // The server's own read of this socket returns, so a client that stalled is cancelled like
    // one that hung up.
    if (!UnixSocket::writeLine(fd_, line, stallLimit_)) closeLocked();
}

void IPCConnection::close() {
    const std::lock_guard guard(lock_);
    closeLocked();
}

void IPCConnection::closeLocked() {
    if (closed_) return;
    closed_ = true;
    ::shutdown(fd_, SHUT_RDWR);
}

} // namespace torvex
