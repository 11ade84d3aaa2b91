#include "support/DisplayProxy.h"

#include "Core/Files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace torvex::testing {
namespace {

int connectToXvfb(const std::string& display) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = "/tmp/.X11-unix/X" + display.substr(1);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Copies what one end has to the other; false when either end is done.
bool pass(int from, int to, std::size_t most, std::size_t& passed) {
    char buffer[65536];
    const ssize_t count = ::read(from, buffer, std::min(sizeof buffer, most));
    if (count <= 0 || writeAll(to, std::string_view(buffer, std::size_t(count))) != 0) return false;
    passed += std::size_t(count);
    return true;
}

} // namespace

DisplayProxy::DisplayProxy() { bindLoopback(); }  // bound without listening: connections are refused

DisplayProxy::DisplayProxy(std::string target, std::size_t cutAfter) : target_(std::move(target)), cutAfter_(cutAfter) {
    bindLoopback();
    if (::listen(listener_, 4) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(listener_);
        throw std::runtime_error("cannot listen for the display proxy");
    }
    thread_ = std::thread([this] { serve(); });
}

void DisplayProxy::bindLoopback() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ntohs(address.sin_port) < 6000) {
        if (listener_ >= 0) ::close(listener_);
        throw std::runtime_error("cannot bind a loopback port for the display proxy");
    }
    name_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port) - 6000);
}

DisplayProxy::~DisplayProxy() {
    if (thread_.joinable()) {
        (void)writeAll(wake_[1], "x");
        thread_.join();
    }
    for (const int fd : {listener_, wake_[0], wake_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

void DisplayProxy::serve() {
    int client = -1, server = -1;
    std::size_t fromClient = 0, fromServer = 0;
    const auto closePair = [&] {
        for (int* fd : {&client, &server}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    };
    for (;;) {
        // One connection at a time: the next waits in the backlog. A stalled one is read no more.
        const bool active = client >= 0 && !stalled_;
        std::vector<pollfd> watched = {{wake_[0], POLLIN, 0},
                                       {listener_, short(client < 0 ? POLLIN : 0), 0},
                                       {client, short(active ? POLLIN : 0), 0},
                                       {server, short(active ? POLLIN : 0), 0}};
        if (::poll(watched.data(), watched.size(), 10'000) < 0) continue;
        if (watched[0].revents != 0) break;
        if (client >= 0 && stalled_) {
            if (((watched[2].revents | watched[3].revents) & (POLLHUP | POLLERR)) != 0) closePair();
            continue;
        }
        if (client >= 0 && watched[2].revents != 0) {
            if (!pass(client, server, cutAfter_ - fromClient, fromClient) || fromClient >= cutAfter_) closePair();
        } else if (client >= 0 && watched[3].revents != 0) {
            if (!pass(server, client, SIZE_MAX, fromServer)) closePair();
        } else if (client < 0 && watched[1].revents != 0) {
            client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int noDelay = 1;  // one small request a round trip: do not wait for more
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
            server = connectToXvfb(target_);
            fromClient = fromServer = 0;
            if (server < 0) closePair();
        }
    }
    closePair();
}

} // namespace torvex::testing
