// The peer's receive queue through the kernel's socket diagnostics (NETLINK_SOCK_DIAG), which count
// what the peer has consumed of each buffer; the sender's own count (SIOCOUTQ) falls only when a
// whole buffer has been read.
#include "Platform/SocketQueue.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace torvex {

namespace {

struct Netlink {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    ~Netlink() {
        if (fd >= 0) ::close(fd);
    }
};

// The attribute `type` of the kernel's description of the Unix socket with inode `inode`, asked
// for with `show`; false when there is none.
bool attribute(int netlink, std::uint32_t inode, std::uint32_t show, unsigned short type, void* value,
               std::size_t size) {
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = AF_UNIX;
    message.request.udiag_states = ~0u;
    message.request.udiag_ino = inode;
    message.request.udiag_show = show;
    message.request.udiag_cookie[0] = message.request.udiag_cookie[1] = ~0u;  // no cookie
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(netlink, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof message)) return false;

    alignas(nlmsghdr) char answer[8192];
    ssize_t received;
    do {
        received = ::recv(netlink, answer, sizeof answer, 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) return false;
    auto left = static_cast<unsigned>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) return false;  // an error or the end
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) return false;
        const auto* described = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
        if (described->udiag_ino != inode) continue;
        auto attributesLeft = static_cast<unsigned>(header->nlmsg_len - NLMSG_LENGTH(sizeof(unix_diag_msg)));
        auto* found = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(NLMSG_DATA(header)) +
                                                NLMSG_ALIGN(sizeof(unix_diag_msg)));
        for (; RTA_OK(found, attributesLeft); found = RTA_NEXT(found, attributesLeft)) {
            if (found->rta_type != type || RTA_PAYLOAD(found) < size) continue;
            std::memcpy(value, RTA_DATA(found), size);
            return true;
        }
        return false;
    }
    return false;
}

} // namespace

std::optional<std::size_t> unreadByPeer(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
    const Netlink netlink;
    if (netlink.fd < 0) return std::nullopt;
    const timeval patience{1, 0};  // the kernel answers at once; never wait longer than this
    (void)::setsockopt(netlink.fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::uint32_t peer = 0;
    if (!attribute(netlink.fd, static_cast<std::uint32_t>(info.st_ino), UDIAG_SHOW_PEER, UNIX_DIAG_PEER, &peer,
                   sizeof peer) ||
        peer == 0)
        return std::nullopt;
    unix_diag_rqlen queue{};
    if (!attribute(netlink.fd, peer, UDIAG_SHOW_RQLEN, UNIX_DIAG_RQLEN, &queue, sizeof queue)) return std::nullopt;
    return queue.udiag_rqueue;
}

} // namespace torvex
