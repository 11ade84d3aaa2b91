#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <filesystem>
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
// or a write fails (a write of nothing included); an interrupted write is retried. With a
// `stallLimit`, also false once the peer has read nothing for that long while the socket's buffer
// is full; a peer that goes on reading, however slowly, is waited for.
bool writeLine(int fd, std::string_view bytes, std::optional<std::chrono::milliseconds> stallLimit = std::nullopt);

// The user that the process at the other end of a connected socket ran as when it connected (or,
// for a client, when the server began listening); none when the system does not say.
std::optional<uid_t> peerUser(int fd);

// Whether a peer of that user may be talked to: this process's own user, or root.
bool isTrustedUser(uid_t user);
// Which peers' users are talked to: isTrustedUser, or another rule a test gives.
using UserCheck = bool (*)(uid_t user);

// Throws TorvexError "The folder of the Torvex socket is not safe." when a user other than this
// one (or root) could put files into `folder`: it belongs to another user, or others may write to it
// (a group of other members counts) and it is not sticky, as /tmp is. Links in the path are followed.
void checkFolder(const std::filesystem::path& folder);

} // namespace UnixSocket

} // namespace torvex
