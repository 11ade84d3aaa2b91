#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Core/TorvexError.h"

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
// or a write fails (a write of nothing included); an interrupted write is retried. With a
// `stallLimit`, also false once the peer has read nothing for that long while the socket's buffer
// is full; a peer that goes on reading, however slowly, is waited for.
bool writeLine(int fd, std::string_view bytes, std::optional<std::chrono::milliseconds> stallLimit = std::nullopt);

// The user that the process at the other end of a connected socket ran as when it connected (or,
// for a client, when the server began listening); none when the system does not say.
std::optional<uid_t> peerUser(int fd);

// Whether a peer or a file of that user may be trusted: `self`, or root.
bool isTrustedUser(uid_t user, uid_t self);
// The same for this process's own user.
bool isTrustedUser(uid_t user);
// Which peers' users are talked to: isTrustedUser, or another rule a test gives.
using UserCheck = bool (*)(uid_t user);

// Whether the socket at `path` is one that nothing serves any more: a connection to it is refused.
// A socket that accepts or queues a connection, or that this user may not connect to, is not.
// Never waits, also when the listener's queue is full.
bool isStale(const std::string& path);

// When a socket of a user other than this one (or root) stands at `path` (a link there is not
// followed): TorvexError "Another user's socket is in the way." naming its owner. Torvex can
// neither serve on that path nor talk to whoever serves it.
std::optional<TorvexError> foreignSocket(const std::filesystem::path& path);

} // namespace UnixSocket

} // namespace torvex
