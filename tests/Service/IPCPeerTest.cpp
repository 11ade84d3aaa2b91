// The server and the client talk only to peers whose user their check trusts: here checks that
// trust nobody, or record whom they were asked about, stand in for a peer of another user.
#include "Service/IPCClient.h"
#include "Service/IPCServer.h"

#include "support/IPCFixture.h"
#include "support/TestSupport.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;

namespace {

std::atomic<long> askedAbout{-1};  // the user the last check was asked about

bool trustsNobody(uid_t user) {
    askedAbout = static_cast<long>(user);
    return false;
}

bool trustsEveryone(uid_t user) {
    askedAbout = static_cast<long>(user);
    return true;
}

} // namespace

TEST(IPCPeerTest, TheServerClosesAnUntrustedPeersConnectionUnansweredAndServesATrustedOne) {
    const struct {
        const char* name;
        UnixSocket::UserCheck check;
        bool served;
    } cases[] = {{"untrusted", trustsNobody, false}, {"trusted", trustsEveryone, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir folder;
        ScriptedHandler script;
        IPCServer server(folder / "s.sock", script.handler(), IPCConnection::defaultStallLimit, c.check);
        server.start();
        askedAbout = -1;
        RawClient client(folder / "s.sock");
        ASSERT_TRUE(client.connected());
        const auto hello = client.readMessage();
        EXPECT_EQ(hello.has_value(), c.served);
        EXPECT_EQ(askedAbout.load(), static_cast<long>(::geteuid())) << "the check hears the peer's user";
        if (c.served) {
            ASSERT_TRUE(client.write(encode(IPCRequest("ping", {})) + "\n"));
            while (client.readMessage()) {}  // to the end of the conversation
            EXPECT_EQ(script.started(), 1);
        } else {
            EXPECT_FALSE(client.write(encode(IPCRequest("ping", {})) + "\n") && client.readLine(2s));
            EXPECT_EQ(script.started(), 0);
        }
    }
}

TEST(IPCPeerTest, TheClientRefusesAnUntrustedServerBeforeReadingItsHello) {
    const TestServer fixture;
    askedAbout = -1;
    const TorvexError error = errorOf([&] { IPCClient::connect(fixture.socket, 10s, trustsNobody); });
    EXPECT_EQ(error.what, "Another user serves the Torvex socket.");
    EXPECT_EQ(error.why, fixture.socket.string() + " is served by a process of uid " + std::to_string(::geteuid()) +
                             ", not by you, so Torvex does not talk to it.");
    EXPECT_EQ(error.fix, "Set TORVEX_SOCKET to a path in a folder only you can write to.");
    EXPECT_EQ(askedAbout.load(), static_cast<long>(::geteuid()));
    EXPECT_TRUE(IPCClient::connect(fixture.socket, 10s, trustsEveryone));
}
