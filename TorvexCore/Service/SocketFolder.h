#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace torvex {

// The folder of the Torvex socket, held open so that what is checked is what is used: the socket,
// its lock and their removal are reached through the descriptor, never through a path that another
// user could redirect.
class SocketFolder {
public:
    // Opens `folder` one component at a time from "/", as OpenSSH checks the path of a key: every
    // folder on the way must belong to root or `user` and be writable by nobody else (the user's own
    // private group aside) unless it is sticky, as /tmp is; a link is followed only when it belongs
    // to root or `user`, its target checked the same way. With `create`, each missing folder is made
    // with mode 0700 once the folder holding it has passed. Throws TorvexError "The folder of the
    // Torvex socket is not safe." naming the first component that fails and its owner, and
    // std::filesystem::filesystem_error naming the component when it is missing (without `create`),
    // is no folder, or cannot be opened or made.
    static SocketFolder open(const std::filesystem::path& folder, bool create, uid_t user = ::geteuid());

    SocketFolder(SocketFolder&& other) noexcept;
    SocketFolder& operator=(SocketFolder&& other) noexcept;
    SocketFolder(const SocketFolder&) = delete;
    SocketFolder& operator=(const SocketFolder&) = delete;
    ~SocketFolder();

    // An O_PATH descriptor of the folder, for the *at calls; owned by this object.
    int fd() const { return fd_; }

private:
    explicit SocketFolder(int fd) : fd_(fd) {}
    int fd_ = -1;
};

} // namespace torvex
