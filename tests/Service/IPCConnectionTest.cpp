#include "Service/IPCConnection.h"

#include "Core/Platform/SocketQueue.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

using namespace torvex;
using namespace std::chrono_literals;

namespace {

// A connected pair whose first end holds only a few KB unread, so that a long line fills it.
struct SocketPair {
    int server = -1, client = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        server = fds[0];
        client = fds[1];
        const int small = 4096;
        ::setsockopt(server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    ~SocketPair() {
        ::close(server);
        ::close(client);
    }
};

// Reads `bytes` bytes at a time with `pause` between reads for `slowFor`, then everything at once.
std::string readSlowlyThenAll(int fd, std::size_t bytes, std::chrono::milliseconds pause,
                              std::chrono::milliseconds slowFor) {
    std::string got;
    char buffer[65536];
    const auto until = std::chrono::steady_clock::now() + slowFor;
    for (ssize_t n = 1; n > 0;) {
        const bool slow = std::chrono::steady_clock::now() < until;
        n = ::read(fd, buffer, slow ? bytes : sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        if (slow) std::this_thread::sleep_for(pause);
    }
    return got;
}

} // namespace

TEST(IPCConnectionTest, TheSocketSaysToTheByteWhatThePeerHasNotRead) {
    const SocketPair pair;
    ASSERT_EQ(::write(pair.server, "0123456789", 10), 10);
    char buffer[3];
    ASSERT_EQ(::read(pair.client, buffer, sizeof buffer), 3);
    const auto unread = unreadByPeer(pair.server);
    if (!unread) GTEST_SKIP() << "this system gives no socket diagnostics";
    EXPECT_EQ(*unread, 7u);
}

TEST(IPCConnectionTest, AClientThatReadsSlowlyIsWaitedForAndOneThatStopsIsCutOff) {
    const struct {
        const char* name;
        std::chrono::milliseconds pause;  // between reads of 16 bytes, for 2.5 s; then it reads all
        bool whole;
    } cases[] = {
        {"16 bytes every 50 ms, far less than one buffer in the limit", 50ms, true},
        {"nothing for longer than the limit", 2500ms, false},
    };
    if (!unreadByPeer(SocketPair().server)) GTEST_SKIP() << "this system gives no socket diagnostics";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SocketPair pair;
        const auto connection = std::make_shared<IPCConnection>(pair.server, 1000ms);
                auto reader = std::async(std::launch::async, [&] {
            return readSlowlyThenAll(pair.client, 16, c.pause, 2500ms);
        });
        connection->send(IPCMessage::log("x", {OutputStreamKind::standardOutput, std::string(64 * 1024, 'a')}));
        connection->send(IPCMessage::log("x", {OutputStreamKind::standardOutput, "last"}));
        connection->close();
        const std::string got = reader.get();
        EXPECT_EQ(got.find("\"last\"") != std::string::npos, c.whole) << got.size() << " bytes";
    }
}
