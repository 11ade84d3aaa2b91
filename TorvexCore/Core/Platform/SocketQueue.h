#pragma once

#include <cstddef>
#include <optional>

namespace torvex {

// The bytes written to a connected Unix stream socket that its peer has not read yet, to the byte:
// a peer that reads part of a write shows it at once. None when the system does not say.
std::optional<std::size_t> unreadByPeer(int fd);

} // namespace torvex
