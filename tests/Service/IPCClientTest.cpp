#include "Service/IPCClient.h"

#include "Core/Version.h"
#include "Service/UnixSocket.h"
#include "support/IPCFixture.h"
#include "support/TestSupport.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A server that plays a script to one client: the `greeting` lines, then, with a `reply`, it reads
// the request line and writes the reply lines; then it closes. It reports the request line, none
// when the client hung up instead.
class ScriptedServer {
public:
    ScriptedServer(const fs::path& socket, std::vector<std::string> greeting,
                   std::optional<std::vector<std::string>> reply)
        : listenFD_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_un address = UnixSocket::address(socket.string());
        if (::bind(listenFD_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFD_, 4) != 0)
            throw std::runtime_error("cannot listen");
        request_ = std::async(std::launch::async, [this, greeting = std::move(greeting), reply = std::move(reply)] {
            RawClient peer(::accept4(listenFD_, nullptr, nullptr, SOCK_CLOEXEC));
            for (const auto& line : greeting) peer.write(line + "\n");
            if (!reply) return std::optional<std::string>();
            auto request = peer.readLine();
            for (const auto& line : *reply) peer.write(line + "\n");
            return request;
        });
    }
    ~ScriptedServer() { ::close(listenFD_); }

    // Waits for the script's end.
    std::optional<std::string> request() { return request_.get(); }

private:
    int listenFD_;
    std::future<std::optional<std::string>> request_;
};

std::string hello(const std::string& version) {
    return R"({"type":"hello","version":")" + version + R"(","protocolVersion":1})";
}

} // namespace

TEST(IPCClientTest, HelloFit) {
    struct Case {
        std::string hello;
        std::string cliVersion;
        bool fits;
        std::string why;  // when it does not fit
    };
    const std::vector<Case> cases = {
        {hello("0.2.0"), "0.1.0", true, ""},
        {hello("0.1.0"), "0.1.0", true, ""},
        {hello("1.0"), "0.9", false, "The torvex CLI (0.9) and the Torvex host (1.0) don't match."},
        {hello("10.0"), "1.0", false, "The torvex CLI (1.0) and the Torvex host (10.0) don't match."},
        {hello(".5"), "5.1", true, ""},
        {hello("..."), "", true, ""},
        {hello("v1.0"), "1.0", false, "The torvex CLI (1.0) and the Torvex host (v1.0) don't match."},
        {R"({"type":"hello","protocolVersion":1})", "0.1.0", false,
         "The torvex CLI (0.1.0) and the Torvex host (?) don't match."},
        {R"({"type":"hello","version":"0.1.0","protocolVersion":2})", "0.1.0", false,
         "The torvex CLI (0.1.0) and the Torvex host (0.1.0) don't match."},
        {R"({"type":"hello","version":"0.1.0"})", "0.1.0", false,
         "The torvex CLI (0.1.0) and the Torvex host (0.1.0) don't match."},
    };
    for (const auto& c : cases) {
        const auto message = decodeMessage(c.hello);
        ASSERT_TRUE(message) << c.hello;
        if (c.fits) {
            EXPECT_NO_THROW(checkHello(*message, c.cliVersion)) << c.hello << " / " << c.cliVersion;
            continue;
        }
        const TorvexError error = errorOf([&] { checkHello(*message, c.cliVersion); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, "Update Torvex.");
        EXPECT_EQ(error.why, c.why);
        EXPECT_EQ(error.fix, "Install the latest Torvex and run `torvex setup --register` again.");
    }
}

TEST(IPCClientTest, NothingUsableAnswering) {
    const TempDir dir;
    EXPECT_EQ(IPCClient::connect(dir / "none.sock"), nullptr) << "no socket";
    EXPECT_EQ(IPCClient::connect(dir / std::string(110, 'x')), nullptr) << "path too long";

    struct Case {
        const char* name;
        std::vector<std::string> greeting;
    };
    const std::vector<Case> cases = {
        {"closes before its hello", {}},
        {"a log line first", {R"({"type":"log","id":"x","text":"hi"})"}},
        {"not JSON first", {"HTTP/1.1 200 OK"}},
    };
    for (const auto& c : cases) {
        const fs::path socket = dir / "s.sock";
        ScriptedServer server(socket, c.greeting, std::nullopt);
        const std::size_t descriptors = settled(openDescriptorCount);
        EXPECT_EQ(IPCClient::connect(socket), nullptr) << c.name;
        server.request();
        EXPECT_EQ(openDescriptorCount(), descriptors) << c.name << ": the socket is closed";
        fs::remove(socket);
    }

    {
        // A listener that never says hello: a wedged server, or something else on the path.
        const fs::path socket = dir / "silent.sock";
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = UnixSocket::address(socket.string());
        ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 4), 0);
        const std::size_t descriptors = settled(openDescriptorCount);
        EXPECT_EQ(IPCClient::connect(socket, std::chrono::milliseconds(200)), nullptr) << "no hello in time";
        EXPECT_EQ(openDescriptorCount(), descriptors) << "the client's socket is closed";
        ::close(listener);
    }

    ScriptedServer mismatched(dir / "m.sock", {R"({"type":"hello","version":"9.0","protocolVersion":1})"},
                              std::vector<std::string>{});
    const std::size_t descriptors = settled(openDescriptorCount);
    const TorvexError error = errorOf([&] { IPCClient::connect(dir / "m.sock"); });
    EXPECT_EQ(error.what, "Update Torvex.");
    EXPECT_EQ(mismatched.request(), std::nullopt) << "the server sees the hang-up";
    EXPECT_EQ(openDescriptorCount(), descriptors) << "the client's socket is closed";
}

TEST(IPCClientTest, SendRelaysLogsAndEndsWithTheResultOrError) {
    const std::string current = TorvexVersion::current();
    struct Case {
        const char* name;
        std::vector<std::string> reply;
        std::vector<std::string> logs;            // texts handed to onLog
        std::optional<std::string> value;         // when it returns
        std::optional<TorvexError::Kind> thrown;  // when it throws
        std::string what;
    };
    const std::vector<Case> cases = {
        {"result without value",
         {R"({"id":"r","type":"log","stream":"stdout","text":"one"})", R"({"id":"r","type":"result"})"},
         {"one"}, std::nullopt, std::nullopt, ""},
        {"result with value", {R"({"id":"r","type":"result","value":"/out"})"}, {}, "/out", std::nullopt, ""},
        {"another request's id, progress, a stray hello and garbage between logs",
         {R"({"id":"other","type":"log","text":"a"})", "not json", R"({"type":"hello","version":"0.1.0"})",
          R"({"id":"r","type":"progress","text":"b"})", R"({"type":"warning"})", R"({"id":"r","type":"log","text":"c"})",
          R"({"id":"r","type":"result","value":"done"})"},
         {"a", "b", "c"}, "done", std::nullopt, ""},
        {"error", {R"({"id":"r","type":"log","text":"x"})", R"({"id":"r","type":"error","kind":4,"what":"Build failed."})"},
         {"x"}, std::nullopt, TorvexError::Kind::buildFailed, "Build failed."},
        {"lines after the result are not read",
         {R"({"id":"r","type":"result","value":"v"})", R"({"id":"r","type":"log","text":"late"})"}, {}, "v",
         std::nullopt, ""},
        {"closed after logs without a result", {R"({"id":"r","type":"log","text":"half"})"}, {"half"}, std::nullopt,
         TorvexError::Kind::appNotRunning, "Torvex stopped before finishing."},
    };
    const TempDir dir;
    for (const auto& c : cases) {
        const fs::path socket = dir / "s.sock";
        ScriptedServer server(socket, {hello(current)}, c.reply);
        const auto client = IPCClient::connect(socket);
        ASSERT_TRUE(client) << c.name;
        EXPECT_EQ(client->appVersion(), current);
        const IPCRequest request("r", "build", {.project = "/p"});
        std::vector<std::string> logs;
        const auto onLog = [&](const IPCMessage& message) { logs.push_back(message.text.value_or("")); };
        if (c.thrown) {
            const TorvexError error = errorOf([&] { client->send(request, onLog); });
            EXPECT_EQ(error.kind, *c.thrown) << c.name;
            EXPECT_EQ(error.what, c.what) << c.name;
        } else {
            EXPECT_EQ(client->send(request, onLog), c.value) << c.name;
        }
        EXPECT_EQ(logs, c.logs) << c.name;
        EXPECT_EQ(server.request(), encode(request)) << c.name;
        fs::remove(socket);
    }
}

TEST(IPCClientTest, SendingToAServerThatLeftFails) {
    const TempDir dir;
    ScriptedServer server(dir / "s.sock", {hello(TorvexVersion::current())}, std::nullopt);
    const auto client = IPCClient::connect(dir / "s.sock");
    ASSERT_TRUE(client);
    server.request();  // the server has closed its end
    const TorvexError error = errorOf([&] { client->send(IPCRequest("ping", {}), nullptr); });
    EXPECT_EQ(error.kind, TorvexError::Kind::appNotRunning);
    EXPECT_EQ(error.what, "Lost the connection to Torvex.");
    EXPECT_EQ(error.why, "The Torvex host closed the socket.");
    EXPECT_EQ(error.fix, "End the Torvex host with `kill <pid>` (`pgrep -a torvex-host` shows it); the next `torvex` "
                         "command starts a new one.");
}

TEST(IPCClientTest, DisconnectFromAnotherThreadEndsTheWaitAndCancelsTheRequest) {
    TestServer fixture;
    const auto client = IPCClient::connect(fixture.socket);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->appVersion(), TorvexVersion::current());
    std::thread signal([&] {
        fixture.script.waitForStarted(1);
        client->disconnect();
    });
    const TorvexError error = errorOf([&] { client->send(IPCRequest("wait", {}), nullptr); });
    signal.join();
    EXPECT_EQ(error.kind, TorvexError::Kind::appNotRunning);
    EXPECT_EQ(error.what, "Torvex stopped before finishing.");
    EXPECT_EQ(error.why, "The connection closed.");
    EXPECT_EQ(error.fix, "Check the Torvex logs and try again.");
    EXPECT_TRUE(fixture.script.waitForCancelled(1));
}

TEST(IPCClientTest, RoundTripWithTheRealServer) {
    TestServer fixture;
    const auto client = IPCClient::connect(fixture.socket);
    ASSERT_TRUE(client);
    std::vector<std::string> streams;
    const auto value = client->send(IPCRequest("stream", {.width = 4}), [&](const IPCMessage& message) {
        streams.push_back(message.stream.value_or("?") + ":" + message.text.value_or("?"));
    });
    EXPECT_EQ(value, "4");
    std::sort(streams.begin(), streams.end());
    EXPECT_EQ(streams, (std::vector<std::string>{"stderr:line 1", "stderr:line 3", "stdout:line 0", "stdout:line 2"}));
}

TEST(IPCClientTest, OnlyServersOfThisUserOrRootAreTrusted) {
    const uid_t self = ::geteuid();
    const uid_t other = self == 65534 ? 65533 : 65534;
    const struct {
        uid_t user;
        bool trusted;
    } cases[] = {{self, true}, {0, true}, {other, false}};
    for (const auto& c : cases) EXPECT_EQ(UnixSocket::isTrustedUser(c.user), c.trusted) << c.user;
}

TEST(IPCClientTest, AServerOfAnotherUserIsRefusedBeforeItIsHeard) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to serve as another user";
    const TempDir dir;
    const fs::path socket = dir / "t.sock";
    const sockaddr_un address = UnixSocket::address(socket.string());
    int listening[2];
    ASSERT_EQ(::pipe(listening), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls here: the parent may have threads. It binds in the test's
        // folder as root, then listens, and so answers, as nobody.
        ::alarm(20);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(10);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(11);
        if (::listen(fd, 4) != 0) ::_exit(12);
        (void)!::write(listening[1], "x", 1);
        const int peer = ::accept(fd, nullptr, nullptr);
        const char hello[] = "{\"type\":\"hello\",\"version\":\"0.1.0\",\"protocolVersion\":1}\n";
        (void)!::send(peer, hello, sizeof hello - 1, MSG_NOSIGNAL);  // the client may have gone already
        char byte;
        ::_exit(::read(peer, &byte, 1) <= 0 ? 0 : 13);  // the client sent nothing and hung up
    }
    ::close(listening[1]);
    char byte;
    ASSERT_EQ(::read(listening[0], &byte, 1), 1);
    ::close(listening[0]);

    const TorvexError error = errorOf([&] { IPCClient::connect(socket); });
    EXPECT_EQ(error.what, "Another user serves the Torvex socket.");
    EXPECT_EQ(error.why, socket.string() + " is served by a process of uid 65534, not by you, so Torvex does not talk to it.");
    EXPECT_EQ(error.fix, "Set TORVEX_SOCKET to a path in a folder only you can write to.");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

namespace {

// A server that says hello, reads the request, writes `answer` in pieces of 1 MiB until a write
// fails (the client hung up), then waits for the client to hang up. It reports how many bytes of
// the answer went out.
std::future<std::size_t> answeringServer(int listenFD, std::string answer) {
    return std::async(std::launch::async, [listenFD, answer = std::move(answer)] {
        RawClient peer(::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC));
        peer.write(hello(TorvexVersion::current()) + "\n");
        if (!peer.readLine()) return std::size_t(0);
        constexpr std::size_t piece = 1024 * 1024;
        std::size_t written = 0;
        while (written < answer.size() && peer.write(std::string_view(answer).substr(written, piece)))
            written += std::min(piece, answer.size() - written);
        while (peer.readLine()) {
        }
        return written;
    });
}

int listeningSocket(const fs::path& socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixSocket::address(socket.string());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0)
        throw std::runtime_error("cannot listen");
    return fd;
}

} // namespace

TEST(IPCClientTest, AMessageLineHasABound) {
    const std::string current = TorvexVersion::current();
    const std::string result = R"({"id":"r","type":"result","value":")";
    // A 4K window's screenshot at its worst, in Base64, arrives whole.
    const std::string screenshot(3840 * 2160 * 4 / 3 * 4 + 64, 'A');
    const struct {
        const char* name;
        std::string answer;
        bool fits;
    } cases[] = {
        {"the largest screenshot", result + screenshot + "\"}\n", true},
        {"an endless line", std::string(2 * IPCClient::maxMessageBytes, 'x'), false},
        {"a line just past the bound", std::string(IPCClient::maxMessageBytes + 1, 'x') + "\n" + result + "v\"}\n",
         false},
    };
    const TempDir dir;
    for (const auto& c : cases) {
        const fs::path socket = dir / "s.sock";
        const int listener = listeningSocket(socket);
        auto server = answeringServer(listener, c.answer);
        {
            const auto client = IPCClient::connect(socket);
            ASSERT_TRUE(client) << c.name;
            const IPCRequest request("r", "screenshot", {});
            if (c.fits) {
                EXPECT_EQ(client->send(request, nullptr), screenshot) << c.name;
            } else {
                const TorvexError error = errorOf([&] { client->send(request, nullptr); });
                EXPECT_EQ(error.kind, TorvexError::Kind::generic) << c.name;
                EXPECT_EQ(error.what, "Torvex sent a message too long to read.") << c.name;
                EXPECT_EQ(error.why, "A line from " + socket.string() +
                                         " holds more than 64 MiB; the longest a Torvex host sends is a "
                                         "screenshot, far shorter.")
                    << c.name;
            }
        }
        const std::size_t written = server.get();
        if (!c.fits) {
            EXPECT_LT(written, IPCClient::maxMessageBytes + 16 * 1024 * 1024) << c.name << ": read no further";
        }
        ::close(listener);
        fs::remove(socket);
    }
}

TEST(IPCClientTest, ASilenceLimitEndsTheWaitForAnAnswer) {
    const TempDir dir;
    const fs::path socket = dir / "s.sock";
    const int listener = listeningSocket(socket);
    auto server = answeringServer(listener, "");  // says hello, then nothing
    {
        const auto client = IPCClient::connect(socket);
        ASSERT_TRUE(client);
        const TorvexError error =
            errorOf([&] { client->send(IPCRequest("r", "status", {}), nullptr, std::chrono::milliseconds(200)); });
        EXPECT_EQ(error.kind, TorvexError::Kind::appNotRunning);
        EXPECT_EQ(error.what, "Torvex did not answer.");
        EXPECT_EQ(error.why, "Nothing came from " + socket.string() + " for 200 ms after the request `status`.");
    }
    server.get();  // the server saw the hang-up
    ::close(listener);
}
