#pragma once

#include "Messages.h"

#include <chrono>
#include <mutex>

namespace torvex {

// The server's end of one conversation. Any thread may send, also concurrently and after the
// conversation ended: each line is written whole or not at all, and nothing is written once the
// connection is closed or a write failed. It never closes its descriptor; the server does, after
// the request's handler has returned and the connection is closed.
class IPCConnection {
public:
    // How long a client may read nothing while a line waits for room in its socket before it counts
    // as gone: the line and every later one are dropped and the socket is shut down, which ends
    // the conversation as a hang-up does (its request is cancelled). A client that stopped reading
    // (a paused terminal, a `torvex` stopped with Ctrl-Z) therefore holds a sender, such as a build
    // whose output it relays, no longer than this.
    static constexpr std::chrono::milliseconds defaultStallLimit = std::chrono::seconds(30);

    explicit IPCConnection(int fd, std::chrono::milliseconds stallLimit = defaultStallLimit);
    IPCConnection(const IPCConnection&) = delete;
    IPCConnection& operator=(const IPCConnection&) = delete;

    // Writes the message as one line, waiting while the client reads. Never reports a failure:
    // lines for a client that has gone are dropped, and a failed write shuts the socket down.
    void send(const IPCMessage& message);

    // Drops every later line and shuts the socket down both ways (once), so the client reads the
    // end of the stream. Waits for a send in progress.
    void close();

private:
    // Marks the connection closed and shuts the socket down, once. With lock_ held.
    void closeLocked();

    const int fd_;
    const std::chrono::milliseconds stallLimit_;
    std::mutex lock_;
    bool closed_ = false;  // no more lines; the socket is shut down
};

} // namespace torvex
