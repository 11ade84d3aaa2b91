#include "Service/IPCConnection.h"
#include "Service/LineReader.h"
#include "Service/UnixSocket.h"

#include "support/IPCFixture.h"
#include "support/TestSupport.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;

namespace {

// Both ends of a connected stream pair, closed at the end of the scope.
struct SocketPair {
    int near = -1, far = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        near = fds[0];
        far = fds[1];
    }
    ~SocketPair() {
        if (near >= 0) ::close(near);
        if (far >= 0) ::close(far);
    }
};

// A read on `fd` that waits longer than this fails, so a read that should not happen ends the test.
void limitReads(int fd, std::chrono::milliseconds limit) {
    const timeval timeout{limit.count() / 1000, static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Everything that arrives on `fd` until the end of the stream or `limit` without a byte.
std::string drain(int fd, std::chrono::milliseconds limit = 2000ms) {
    limitReads(fd, limit);
    std::string bytes;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

// The lines a LineReader cuts from `writes`, sent one write at a time with a pause between.
std::vector<std::string> linesOf(const std::vector<std::string>& writes) {
    SocketPair pair;
    std::thread writer([&] {
        for (const auto& bytes : writes) {
            EXPECT_TRUE(sendAll(pair.far, bytes));
            std::this_thread::sleep_for(5ms);
        }
        ::shutdown(pair.far, SHUT_WR);
    });
    limitReads(pair.near, 10s);
    LineReader reader(pair.near);
    std::vector<std::string> lines;
    while (auto line = reader.next()) lines.push_back(std::move(*line));
    writer.join();
    return lines;
}

IPCMessage logMessage(const std::string& text) { return IPCMessage::log("r1", {OutputStreamKind::standardOutput, text}); }

} // namespace

TEST(UnixSocketTest, AddressHoldsAtMost103Bytes) {
    const std::string longest(103, 'a');
    const sockaddr_un address = UnixSocket::address(longest);
    EXPECT_EQ(address.sun_family, AF_UNIX);
    EXPECT_EQ(std::string(address.sun_path), longest);

    const std::string tooLong = "/tmp/" + std::string(99, 'b');
    const TorvexError error = errorOf([&] { UnixSocket::address(tooLong); });
    EXPECT_EQ(error.kind, TorvexError::Kind::generic);
    EXPECT_EQ(error.what, "The Torvex socket path is too long.");
    EXPECT_EQ(error.why, "Torvex socket paths are limited to 103 bytes: " + tooLong);
    EXPECT_EQ(error.fix, "Set TORVEX_SOCKET to a shorter path, e.g. /tmp/torvex-" + std::to_string(::getuid()) + ".sock.");

    // Counted in UTF-8 bytes: 52 two-byte letters are 104 bytes.
    std::string wide;
    for (int i = 0; i < 52; ++i) wide += "é";
    EXPECT_ANY_THROW(UnixSocket::address(wide));
    EXPECT_EQ(UnixSocket::connect(tooLong), std::nullopt);
}

TEST(UnixSocketTest, LineFraming) {
    struct Case {
        const char* name;
        std::vector<std::string> writes;
        std::vector<std::string> lines;
    };
    const std::string big(5 * 1024 * 1024 + 3, 'x');
    const std::vector<Case> cases = {
        {"two lines in one write", {"a\nb\n"}, {"a", "b"}},
        {"one line over several writes", {"ab", "c", "d\n"}, {"abcd"}},
        {"newline alone in a later write", {"ab", "\n", "c\n"}, {"ab", "c"}},
        {"empty lines are lines", {"\n\na\n\n"}, {"", "", "a", ""}},
        {"end of stream mid-line loses it", {"a\nabc"}, {"a"}},
        {"carriage return stays", {"a\r\n", "\r\n"}, {"a\r", "\r"}},
        {"a line of several MiB", {big + "\nnext\n"}, {big, "next"}},
        {"nothing", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(linesOf(c.writes), c.lines) << c.name;
}

TEST(UnixSocketTest, BufferedLinesAreReturnedWithoutAnotherRead) {
    SocketPair pair;
    ASSERT_TRUE(UnixSocket::writeLine(pair.far, "first"));
    ASSERT_TRUE(UnixSocket::writeLine(pair.far, "second"));
    limitReads(pair.near, 5s);
    LineReader reader(pair.near);
    EXPECT_EQ(reader.next(), "first");
    limitReads(pair.near, 1ms);  // the writer stays open: another read would fail
    EXPECT_EQ(reader.next(), "second");
    EXPECT_EQ(reader.next(), std::nullopt);
}

TEST(UnixSocketTest, LengthLimitAndSkipping) {
    {  // a line of exactly the limit passes; one byte more does not
        SocketPair pair;
        ASSERT_TRUE(sendAll(pair.far, std::string(1000, 'a') + "\n" + std::string(1001, 'b') + "\nafter\n"));
        ::shutdown(pair.far, SHUT_WR);
        LineReader reader(pair.near);
        EXPECT_EQ(reader.next(1000), std::string(1000, 'a'));
        EXPECT_FALSE(reader.overlong());
        EXPECT_EQ(reader.next(1000), std::nullopt);
        EXPECT_TRUE(reader.overlong());
        // the rest of the long line is dropped and reading goes on
        EXPECT_TRUE(reader.skipLine());
        EXPECT_EQ(reader.next(1000), "after");
        EXPECT_EQ(reader.next(1000), std::nullopt);
        EXPECT_FALSE(reader.overlong()) << "the end of the stream";
    }
    {  // an endless line is refused while it still arrives, not buffered to its end
        SocketPair pair;
        std::thread writer([&] {
            const std::string block(64 * 1024, 'z');
            for (int i = 0; i < 64 && sendAll(pair.far, block); ++i) {}  // 4 MiB, unless the reader left
        });
        limitReads(pair.near, 10s);
        LineReader reader(pair.near);
        EXPECT_EQ(reader.next(1024 * 1024), std::nullopt);
        ::shutdown(pair.near, SHUT_RDWR);
        writer.join();
    }
    {  // skipping keeps only what follows the newline, across reads
        SocketPair pair;
        std::thread writer([&] {
            sendAll(pair.far, "one\n" + std::string(3 * 1024 * 1024, 's'));
            sendAll(pair.far, "tail\nkept\n");
            ::shutdown(pair.far, SHUT_WR);
        });
        limitReads(pair.near, 10s);
        LineReader reader(pair.near);
        EXPECT_TRUE(reader.skipLine());
        EXPECT_TRUE(reader.skipLine());
        EXPECT_EQ(reader.next(), "kept");
        EXPECT_FALSE(reader.skipLine());
        writer.join();
    }
}

TEST(UnixSocketTest, AWakeDescriptorEndsAReaderWaitingForBytes) {
    SocketPair pair;
    SocketPair wake;
    ASSERT_TRUE(sendAll(pair.far, "whole\npart"));
    LineReader reader(pair.near, wake.near);
    EXPECT_EQ(reader.next(), "whole");
    auto waiting = std::async(std::launch::async, [&] { return reader.next(); });
    EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout) << "waits for the rest of the line";
    ASSERT_TRUE(sendAll(wake.far, "x"));
    const bool woke = waiting.wait_for(5s) == std::future_status::ready;
    if (!woke) ::shutdown(pair.far, SHUT_WR);  // lets the reader end all the same
    EXPECT_TRUE(woke);
    EXPECT_EQ(waiting.get(), std::nullopt);
    EXPECT_FALSE(reader.overlong());
}

TEST(UnixSocketTest, WritingToAGonePeerFailsWithoutASignal) {
    SocketPair pair;
    ::close(pair.far);
    pair.far = -1;
    EXPECT_FALSE(UnixSocket::writeLine(pair.near, "anyone there?"));  // SIGPIPE would end the test program
}

TEST(UnixSocketTest, ConnectionLinesStayWholeUnderConcurrentSenders) {
    SocketPair pair;
    auto connection = std::make_shared<IPCConnection>(pair.near);
    constexpr int threads = 8, perThread = 200;
    auto received = std::async(std::launch::async, [&] {
        limitReads(pair.far, 20s);
        LineReader reader(pair.far);
        std::vector<std::string> texts;
        while (auto line = reader.next()) {
            const auto message = decodeMessage(*line);
            EXPECT_TRUE(message) << line->substr(0, 80);
            if (message) texts.push_back(message->text.value_or(""));
        }
        return texts;
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            // Lines longer than the socket buffer would interleave without the lock.
            for (int i = 0; i < perThread; ++i) connection->send(logMessage(std::string(i % 50 == 0 ? 300000 : 10, char('a' + t))));
        });
    }
    for (auto& sender : senders) sender.join();
    connection->close();
    const auto texts = received.get();
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(threads * perThread));
    for (const auto& text : texts) EXPECT_EQ(text.find_first_not_of(text.front()), std::string::npos);
}

TEST(UnixSocketTest, NoLineReachesTheDescriptorAfterCloseOrAFailedWrite) {
    struct Case {
        const char* name;
        std::function<void(SocketPair&, IPCConnection&)> end;
    };
    const std::vector<Case> cases = {
        {"closed", [](SocketPair&, IPCConnection&) {}},
        {"a write failed", [](SocketPair& pair, IPCConnection& connection) {
             ::close(pair.far);
             pair.far = -1;
             connection.send(logMessage("lost"));
         }},
    };
    for (const auto& c : cases) {
        SocketPair old;
        IPCConnection connection(old.near);
        connection.send(logMessage("before"));
        EXPECT_EQ(drain(old.far, 100ms), encode(logMessage("before")) + "\n") << c.name;
        c.end(old, connection);
        connection.close();  // as the server does before it closes the descriptor

        // A newer conversation now has the descriptor number.
        SocketPair newer;
        ASSERT_EQ(::dup2(newer.near, old.near), old.near);
        connection.send(logMessage("late"));
        ::close(newer.near);
        newer.near = -1;
        EXPECT_EQ(drain(newer.far, 200ms), "") << c.name;
    }
}

TEST(UnixSocketTest, CloseWakesTheServersReadAlsoAfterAFailedWrite) {
    SocketPair pair;
    IPCConnection connection(pair.near);
    ::shutdown(pair.far, SHUT_RD);  // the client stops reading, yet stays connected
    connection.send(logMessage("refused"));
    auto read = std::async(std::launch::async, [&] { return drain(pair.near, 10s); });
    std::this_thread::sleep_for(50ms);
    connection.close();
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), "");
}

TEST(UnixSocketTest, AStallLimitWaitsForAReaderAndGivesUpOnOneThatReadsNothing) {
    constexpr auto limit = 300ms;
    const std::string line(4 * 1024 * 1024, 'q');  // far more than the socket buffer holds
    struct Case {
        const char* name;
        std::function<void(int far)> client;  // beside the write, on a thread of its own
        bool written;
    };
    const std::vector<Case> cases = {
        {"reads nothing", [](int) {}, false},
        {"has gone", [](int far) { ::shutdown(far, SHUT_RDWR); }, false},
        {"reads slowly, pausing for less than the limit", [&](int far) {
             limitReads(far, 10s);
             std::vector<char> chunk(256 * 1024);
             for (std::size_t total = 0; total < line.size() + 1;) {
                 std::this_thread::sleep_for(limit / 2);
                 for (std::size_t got = 0; got < chunk.size() && total < line.size() + 1;) {
                     const ssize_t n = ::read(far, chunk.data(), std::min(chunk.size() - got, line.size() + 1 - total));
                     if (n <= 0) return;
                     got += static_cast<std::size_t>(n);
                     total += static_cast<std::size_t>(n);
                 }
             }
         }, true},
    };
    for (const auto& c : cases) {
        SocketPair pair;
        std::thread client(c.client, pair.far);
        const auto started = std::chrono::steady_clock::now();
        const bool written = UnixSocket::writeLine(pair.near, line, limit);
        const auto took = std::chrono::steady_clock::now() - started;
        client.join();
        EXPECT_EQ(written, c.written) << c.name;
        EXPECT_LT(took, 20s) << c.name;
        if (c.written) {
            EXPECT_GT(took, limit) << c.name << ": the limit is on a pause, not on the whole write";
        }
    }
}

TEST(UnixSocketTest, AConnectionWhoseClientReadsNothingShutsDownSoTheServersReadEnds) {
    SocketPair pair;
    IPCConnection connection(pair.near, 300ms);
    // The server's connection thread waits on the same socket for a second line.
    auto serverRead = std::async(std::launch::async, [&] {
        limitReads(pair.near, 20s);
        char byte = 0;
        return ::read(pair.near, &byte, 1);
    });
    connection.send(logMessage(std::string(4 * 1024 * 1024, 'q')));
    ASSERT_EQ(serverRead.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(serverRead.get(), 0) << "the end of the stream, as after a hang-up";

    connection.send(logMessage("dropped"));
    const std::string received = drain(pair.far);
    EXPECT_LT(received.size(), 4u * 1024 * 1024);
    EXPECT_EQ(received.find("dropped"), std::string::npos);
}
