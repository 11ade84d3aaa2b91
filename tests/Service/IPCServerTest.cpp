#include "Service/IPCServer.h"

#include "Core/Version.h"
#include "Service/UnixSocket.h"
#include "support/Pipe.h"
#include "support/IPCFixture.h"
#include "support/OtherUser.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

IPCRequest request(const std::string& cmd, IPCRequest::Arguments args = {}) { return IPCRequest(cmd, std::move(args)); }

std::string line(const IPCRequest& request) { return encode(request) + "\n"; }

// The server answers a fresh client's ping.
void expectServed(const fs::path& socket) {
    RawClient client(socket);
    ASSERT_TRUE(client.connected());
    const auto messages = client.converse(request("ping"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, IPCMessage::Kind::result);
    EXPECT_EQ(messages[0].value, "ready");
}

// Binds a socket at `path` and closes it, as a crashed server leaves it.
void leaveStaleSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixSocket::address(path.string());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

} // namespace

TEST(IPCServerTest, HelloComesFirstThenLogLinesAndOneResult) {
    TestServer fixture;
    RawClient client(fixture.socket);
    ASSERT_TRUE(client.connected());
    const auto hello = client.readMessage();  // nothing was written yet
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->type, IPCMessage::Kind::hello);
    EXPECT_EQ(hello->version, TorvexVersion::current());
    EXPECT_EQ(hello->protocolVersion, 1);

    IPCRequest stream = request("stream", {.width = 3, .name = "step"});
    ASSERT_TRUE(client.write(line(stream)));
    std::vector<std::string> out, err, end;
    while (auto message = client.readMessage()) {
        EXPECT_EQ(message->id, stream.id);
        if (message->type == IPCMessage::Kind::log)
            (message->stream == "stdout" ? out : err).push_back(message->text.value_or("?"));
        else
            end.push_back(std::string(rawValue(message->type)) + " " + message->value.value_or("-"));
    }
    EXPECT_EQ(out, (std::vector<std::string>{"step 0", "step 2"}));
    EXPECT_EQ(err, (std::vector<std::string>{"step 1"}));
    EXPECT_EQ(end, (std::vector<std::string>{"result 3"}));
}

TEST(IPCServerTest, FirstLinesThatAreNoRequestGetNoReply) {
    TestServer fixture;
    IPCRequest ping = request("ping");
    std::string exactlyTheLimit = encode(ping);
    exactlyTheLimit.insert(exactlyTheLimit.size() - 1, IPCServer::maxRequestBytes - exactlyTheLimit.size(), ' ');
    struct Case {
        const char* name;
        std::string bytes;
        bool answered;
    };
    const std::vector<Case> cases = {
        {"garbage", "hello server\n", false},
        {"empty line", "\n", false},
        {"object of another shape", R"({"id":"1","cmd":"ping"})" "\n", false},
        {"request of a wrong type", R"({"id":"1","cmd":"ping","args":{"dpi":"96"}})" "\n", false},
        {"deep nesting", std::string(200000, '[') + "\n", false},
        {"one byte over the limit", std::string(IPCServer::maxRequestBytes + 1, ' ') + encode(ping) + "\n", false},
        {"endless line", std::string(4 * IPCServer::maxRequestBytes, 'x'), false},
        {"nothing, then hang-up", "", false},
        {"exactly the limit", exactlyTheLimit + "\n", true},
        {"final carriage return", encode(ping) + "\r\n", true},
    };
    for (const auto& c : cases) {
        RawClient client(fixture.socket);
        ASSERT_TRUE(client.connected()) << c.name;
        ASSERT_TRUE(client.readMessage()) << c.name << ": hello";
        client.write(c.bytes);  // fails once the server has hung up on an oversize line
        client.shutdownWriting();
        const auto reply = client.readMessage();
        EXPECT_EQ(reply.has_value(), c.answered) << c.name;
        if (reply) {
            EXPECT_EQ(reply->value, "ready") << c.name;
        }
        EXPECT_EQ(client.readLine(), std::nullopt) << c.name << ": then the end";
        expectServed(fixture.socket);
    }
    EXPECT_EQ(fixture.script.started(), 2 + static_cast<int>(cases.size()));
}

TEST(IPCServerTest, ASecondLineAHalfCloseOrAHangUpCancelsTheRequest) {
    struct Case {
        const char* name;
        std::function<void(RawClient&, const std::string& request)> act;
        bool readsTheFinalMessage;
    };
    const std::vector<Case> cases = {
        {"second line in the same write", [](RawClient& c, const std::string& r) { c.write(r + "\n"); }, true},
        {"second line later", [](RawClient& c, const std::string& r) {
             c.write(r);
             std::this_thread::sleep_for(200ms);
             c.write("stop\n");
         }, true},
        {"half-close", [](RawClient& c, const std::string& r) {
             c.write(r);
             c.shutdownWriting();
         }, true},
        {"hang-up", [](RawClient& c, const std::string& r) {
             c.write(r);
             std::this_thread::sleep_for(200ms);
             c.hangUp();
         }, false},
    };
    TestServer fixture;
    int cancelled = 0;
    for (const auto& c : cases) {
        RawClient client(fixture.socket);
        ASSERT_TRUE(client.readMessage()) << c.name;
        const auto started = std::chrono::steady_clock::now();
        c.act(client, line(request("wait")));
        ASSERT_TRUE(fixture.script.waitForCancelled(++cancelled)) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << c.name;
        if (!c.readsTheFinalMessage) continue;
        const auto final = client.readMessage();
        ASSERT_TRUE(final) << c.name;
        EXPECT_EQ(final->type, IPCMessage::Kind::error) << c.name;
        EXPECT_EQ(client.readLine(), std::nullopt) << c.name;
    }
    expectServed(fixture.socket);
}

TEST(IPCServerTest, ACancelledRequestBlockedOnAClientThatDoesNotReadEnds) {
    TestServer fixture(500ms);
    const std::size_t threads = settled(threadCount);
    {
        RawClient client(fixture.socket);
        ASSERT_TRUE(client.readMessage());
        // Far more than the socket buffer holds, and a second line; then the client reads nothing.
        client.write(line(request("stream", {.width = 200000})) + "cancel\n");
        ASSERT_TRUE(fixture.script.waitForStarted(1));
        EXPECT_TRUE(eventually([&] { return fixture.script.finished() == 1; }, 30s)) << "the handler ends";
        EXPECT_TRUE(eventually([&] { return threadCount() <= threads; })) << "the conversation's threads end";
    }
}

TEST(IPCServerTest, AClientThatReadsNothingCountsAsGoneAndOneThatReadsGetsTheLastLine) {
    constexpr auto stallLimit = 500ms;
    struct Case {
        const char* name;
        IPCRequest request;
        bool secondLine;  // sent with the request
        bool reads;       // the client reads what comes
    };
    const std::vector<Case> cases = {
        // The request goes on until the server gives up on its client, then it is cancelled.
        {"flooded, reads nothing", request("flood"), false, false},
        // Slow to answer after the cancellation (as ending an app is), far past the stall limit and
        // the 5 s an earlier design allowed: the client still reads it.
        {"cancelled, slow to end, reads", request("linger", {.width = 6000}), true, true},
    };
    TestServer fixture(stallLimit);
    const std::size_t threads = settled(threadCount);
    int cancelled = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(fixture.socket);
        ASSERT_TRUE(client.readMessage());
        client.write(line(c.request) + (c.secondLine ? "cancel\n" : ""));
        ASSERT_TRUE(fixture.script.waitForCancelled(++cancelled));
        if (c.reads) {
            const auto final = client.readMessage();
            ASSERT_TRUE(final);
            EXPECT_EQ(final->type, IPCMessage::Kind::error);
            EXPECT_EQ(final->what, "Cancelled.");
            EXPECT_EQ(client.readLine(), std::nullopt);
        }
        EXPECT_TRUE(eventually([&] { return fixture.script.finished() == cancelled; }));
    }
    EXPECT_TRUE(eventually([&] { return threadCount() <= threads; })) << "the conversations' threads end";
    expectServed(fixture.socket);
}

TEST(IPCServerTest, AThrowingHandlerEndsOnlyItsConversation) {
    TestServer fixture;
    RawClient client(fixture.socket);
    EXPECT_EQ(client.converse(request("throw")).size(), 0u);
    expectServed(fixture.socket);
}

TEST(IPCServerTest, LateLinesNeverReachALaterConversation) {
    TestServer fixture;
    RawClient first(fixture.socket);
    EXPECT_EQ(first.converse(request("keep")).size(), 1u);
    first.hangUp();
    const auto kept = fixture.script.keptConnection();
    ASSERT_TRUE(kept);

    // Several later conversations, likely on the same descriptor number, while the old one still sends.
    std::atomic<bool> done = false;
    std::thread late([&] {
        while (!done) kept->send(IPCMessage::log("stale", {OutputStreamKind::standardOutput, "late"}));
    });
    for (int i = 0; i < 20; ++i) {
        RawClient client(fixture.socket);
        for (const auto& message : client.converse(request("stream", {.width = 5}))) EXPECT_NE(message.id, "stale");
    }
    done = true;
    late.join();
}

TEST(IPCServerTest, SocketModeIsOwnerOnlyWhateverTheMask) {
    // 0277 takes the owner's own write bit, which the server gives back.
    for (const mode_t mask : {mode_t(0), mode_t(022), mode_t(077), mode_t(0277)}) {
        const TempDir dir;  // made under the usual mask, so that it stays writable
        ScriptedHandler script;
        IPCServer server(dir / "t.sock", script.handler());
        const mode_t previous = ::umask(mask);
        std::optional<TorvexError> failure;
        try {
            server.start();
        } catch (const TorvexError& error) {
            failure = error;
        }
        ::umask(previous);
        ASSERT_FALSE(failure) << failure->description();
        struct stat info {};
        ASSERT_EQ(::lstat((dir / "t.sock").c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0600u) << "umask " << mask;
        expectServed(dir / "t.sock");
    }
}

TEST(IPCServerTest, StartReplacesAStaleSocketButNothingElse) {
    {
        const TempDir dir;
        leaveStaleSocket(dir / "t.sock");
        ScriptedHandler script;
        IPCServer server(dir / "t.sock", script.handler());
        server.start();
        expectServed(dir / "t.sock");
    }
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
    };
    const std::vector<Case> cases = {
        {"regular file", [](const fs::path& p) { writeFile(p, "keep me"); }},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }},
        {"link to a stale socket", [](const fs::path& p) {
             leaveStaleSocket(p.parent_path() / "old.sock");
             fs::create_symlink("old.sock", p);
         }},
    };
    for (const auto& c : cases) {
        const TempDir dir;
        const fs::path path = dir / "t.sock";
        c.make(path);
        const auto before = fs::symlink_status(path).type();
        ScriptedHandler script;
        IPCServer server(path, script.handler());
        const std::size_t descriptors = settled(openDescriptorCount);
        const TorvexError error = errorOf([&] { server.start(); });
        EXPECT_EQ(error.what, "Could not open the Torvex socket.") << c.name;
        EXPECT_EQ(error.fix, "End other Torvex hosts with `kill <pid>` (`pgrep -a torvex-host` shows them), then try again.")
            << c.name;
        EXPECT_FALSE(error.why.empty()) << c.name;
        EXPECT_EQ(openDescriptorCount(), descriptors) << c.name;
        server.stop();
        EXPECT_EQ(fs::symlink_status(path).type(), before) << c.name << " is left alone";
        if (fs::is_regular_file(fs::symlink_status(path))) {
            EXPECT_EQ(readFile(path), "keep me");
        }
    }
}

TEST(IPCServerTest, StartRefusesAFolderThatOthersMayWriteToUnlessItIsSticky) {
    const struct {
        mode_t mode;
        bool starts;
    } cases[] = {{0777, false}, {01777, true}, {0755, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const TempDir dir;
        ASSERT_EQ(::chmod(dir.path().c_str(), c.mode), 0);
        ScriptedHandler script;
        IPCServer server(dir / "t.sock", script.handler());
        if (c.starts) {
            server.start();
            expectServed(dir / "t.sock");
            continue;
        }
        const TorvexError error = errorOf([&] { server.start(); });
        EXPECT_EQ(error.what, "The folder of the Torvex socket is not safe.");
        EXPECT_EQ(error.why, "Other users may write to " + dir.path().string() +
                                 ", and it is not sticky (as /tmp is), so they could replace the socket or plant links in it.");
        EXPECT_EQ(error.fix, "Set TORVEX_SOCKET to a path in a folder only you can write to, or make " +
                                 dir.path().string() + " writable by you alone.");
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "t.sock")));
    }
}

TEST(IPCServerTest, ATooLongPathThrowsAndLeaksNoDescriptor) {
    const TempDir dir;
    std::string name = "s";
    name.resize(UnixSocket::maxPathBytes + 1 - (dir.path().string().size() + 1), 's');
    const fs::path path = dir / name;
    ASSERT_EQ(path.string().size(), 104u);
    ScriptedHandler script;
    IPCServer server(path, script.handler());
    const std::size_t descriptors = settled(openDescriptorCount);
    const std::size_t threads = settled(threadCount);
    const TorvexError error = errorOf([&] { server.start(); });
    EXPECT_EQ(error.what, "The Torvex socket path is too long.");
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

TEST(IPCServerTest, StopLetsARunningRequestFinishAndTurnsNewClientsAway) {
    TestServer fixture;
    RawClient client(fixture.socket);
    ASSERT_TRUE(client.readMessage());
    const IPCRequest block = request("block");
    client.write(line(block));
    ASSERT_TRUE(fixture.script.waitForStarted(1));

    const auto started = std::chrono::steady_clock::now();
    fixture.server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "stopping does not wait for the request";
    EXPECT_FALSE(fs::exists(fs::symlink_status(fixture.socket)));
    EXPECT_EQ(UnixSocket::connect(fixture.socket.string()), std::nullopt);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixSocket::address(fixture.socket.string());
    EXPECT_NE(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(errno, ENOENT);
    ::close(fd);

    fixture.script.release();
    const auto result = client.readMessage();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->value, "released");
    EXPECT_EQ(client.readLine(), std::nullopt);
}

TEST(IPCServerTest, StartStopLifecycle) {
    TestServer fixture;
    const TorvexError again = errorOf([&] { fixture.server->start(); });
    EXPECT_EQ(again.what, "The Torvex socket is already open.");
    expectServed(fixture.socket);

    fixture.server->stop();
    fixture.server->stop();  // harmless
    fixture.server->start();  // a stopped server starts again
    expectServed(fixture.socket);

    // A newer server does not take a served path over; once the file is gone it may, and stopping
    // the older one then leaves the newer one's socket.
    ScriptedHandler script;
    IPCServer newer(fixture.socket, script.handler());
    EXPECT_EQ(errorOf([&] { newer.start(); }).what, "Could not open the Torvex socket.");
    expectServed(fixture.socket);
    fs::remove(fixture.socket);
    newer.start();
    fixture.server->stop();
    EXPECT_TRUE(fs::exists(fs::symlink_status(fixture.socket)));
    expectServed(fixture.socket);
}

TEST(IPCServerTest, APeerOfAnotherUserGetsNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    TestServer fixture;
    fs::permissions(fixture.folder.path(), fs::perms::all);
    fs::permissions(fixture.socket, fs::perms::all);
    const std::string path = fixture.socket.string();
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(11);
        char byte;
        ::alarm(20);
        const ssize_t got = ::read(fd, &byte, 1);
        ::_exit(got == 0 ? 0 : 12);  // the end of the stream, no hello
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(fixture.script.started(), 0);
    expectServed(fixture.socket);
}

TEST(IPCServerTest, ASocketThatIsStillServedIsLeftToItsServer) {
    const TempDir dir;
    const fs::path path = dir / "t.sock";
    // Another program of this user, whose queue is full: the check must not wait on it either.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixSocket::address(path.string());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> queued;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        (void)::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        queued.push_back(fd);
    }
    ScriptedHandler script;
    IPCServer server(path, script.handler());
    const auto started = std::chrono::steady_clock::now();
    const TorvexError error = errorOf([&] { server.start(); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(error.what, "Could not open the Torvex socket.");
    EXPECT_EQ(error.why, "Another program serves " + path.string() + ", and Torvex leaves it alone.");
    EXPECT_EQ(error.fix, "End that program (`ss -xlp` names it), or set TORVEX_SOCKET to another path.");
    const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    EXPECT_GE(accepted, 0) << "its listener still has its clients";
    if (accepted >= 0) ::close(accepted);
    for (const int fd : queued) ::close(fd);
    ::close(listener);
}

TEST(IPCServerTest, AnotherUsersSocketAtThePathIsNamedAndLeftAlone) {
    if (!OtherUser::available()) GTEST_SKIP() << "needs root to act as another user";
    const TempDir dir;
    const fs::path shared = dir / "shared";
    fs::create_directories(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    OtherUser::letThrough(shared);
    const fs::path path = shared / "t.sock";
    const sockaddr_un address = UnixSocket::address(path.string());
    Pipe bound;  // the neighbour says when it listens, and listens until it is ended
    OtherUser nobody([&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::umask(077);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) return 1;
        (void)::write(bound.write, "x", 1);
        ::pause();
        return 0;
    });
    bound.closeWrite();
    char byte = 0;
    ASSERT_EQ(::read(bound.read, &byte, 1), 1);

    ScriptedHandler script;
    IPCServer server(path, script.handler());
    const TorvexError error = errorOf([&] { server.start(); });
    EXPECT_EQ(error.what, "Another user's socket is in the way.");
    EXPECT_EQ(error.why, path.string() +
                             " is a socket of another user (nobody, uid 65534), so Torvex can neither serve there nor "
                             "talk to whoever does.");
    EXPECT_EQ(error.fix, "Set TORVEX_SOCKET to a path in a folder only you can write to, or ask that user to remove " +
                             path.string() + ".");
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, OtherUser::uid) << "left in place";
}

TEST(IPCServerTest, AnotherUserSwappingTheFolderThroughItsParentChangesNoFileOfTheVictim) {
    if (!OtherUser::available()) GTEST_SKIP() << "needs root to act as another user";
    struct Case {
        const char* name;
        mode_t parentMode;
        bool swaps;   // the neighbour exchanges the folders; else it only made its own
        bool serves;  // else every start is refused
    };
    const Case cases[] = {
        {"a parent others may write to", 0777, true, false},
        {"a parent others may write to, the folder not swapped yet", 0777, false, false},
        {"a sticky parent, where the neighbour cannot move the victim's folder", 01777, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const fs::path parent = dir / "parent", folder = parent / "sock", victim = dir / "victim";
        fs::create_directories(folder);
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(parent.c_str(), c.parentMode), 0);
        writeFile(victim, "precious\n");
        ASSERT_EQ(::chmod(victim.c_str(), 0644), 0);
        OtherUser::letThrough(parent);
        // The neighbour's folder holds a link named as the socket, to the victim's file; it is
        // exchanged with the victim's folder again and again.
        const std::string theirs = (parent / "theirs").string(), mine = folder.string();
        const std::string link = (parent / "theirs" / "t.sock").string(), target = victim.string();
        const bool swaps = c.swaps;
        Pipe ready;
        OtherUser nobody([&] {
            if (::mkdir(theirs.c_str(), 0755) != 0 || ::symlink(target.c_str(), link.c_str()) != 0) return 1;
            (void)::write(ready.write, "x", 1);
            if (!swaps) ::pause();
            for (;;) (void)::syscall(SYS_renameat2, AT_FDCWD, mine.c_str(), AT_FDCWD, theirs.c_str(), 2 /* RENAME_EXCHANGE */);
        });
        ready.closeWrite();
        char byte = 0;
        ASSERT_EQ(::read(ready.read, &byte, 1), 1);

        int served = 0;
        for (int i = 0; i < 300; ++i) {
            ScriptedHandler script;
            IPCServer server(folder / "t.sock", script.handler());
            try {
                server.start();
                ++served;
            } catch (const TorvexError& error) {
                if (!c.serves) {
                    EXPECT_EQ(error.what, "The folder of the Torvex socket is not safe.") << error.description();
                }
            }
            server.stop();
        }
        EXPECT_EQ(served, c.serves ? 300 : 0);
        struct stat info {};
        ASSERT_EQ(::stat(victim.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << "its mode is the victim's";
        EXPECT_EQ(readFile(victim), "precious\n");
    }
}
