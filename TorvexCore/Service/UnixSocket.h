#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <string_view>

namespace torvex {

// Unix-domain stream sockets: addresses, connecting and writing whole lines. Keeps no state.
namespace UnixSocket {

// Paths longer than this many UTF-8 bytes do not fit a socket address (104 bytes with the zero).
inline constexpr std::size_t maxPathBytes = 103;

// A zero-filled AF_UNIX address holding `path` and a terminating zero; pass it with its full size.
// Throws TorvexError "The Torvex socket path is too long." past maxPathBytes.
sockaddr_un address(const std::string& path);

// A connected, close-on-exec stream socket to `path`, owned by the caller; none when the path is
// too long or nothing accepts there. Blocks while the listener's queue is full.
std::optional<int> connect(const std::string& path);

// Writes `bytes` and one newline, all of it, without raising SIGPIPE. False when the peer is gone
// or a write fails (a write of nothing included); an interrupted write is retried.
bool writeLine(int fd, std::string_view bytes);

} // namespace UnixSocket

} // namespace torvex
