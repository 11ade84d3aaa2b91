// The real torvex-host over the real socket: started from the build tree on a temporary socket,
// talked to with the real IPCClient, ended by its pid.

#include "IPCClient.h"
#include "Messages.h"
#include "support/BuildRig.h"
#include "support/RunningHost.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <optional>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The answer to one request, or its error's text.
struct Answer {
    std::optional<std::string> value;
    std::optional<std::string> error;
    std::vector<std::string> lines;  // the log messages' texts
};

Answer ask(const fs::path& socket, const IPCRequest& request) {
    Answer answer;
    const auto client = IPCClient::connect(socket);
    if (!client) {
        answer.error = "nothing answers on " + socket.string();
        return answer;
    }
    try {
        answer.value = client->send(request, [&](const IPCMessage& message) { answer.lines.push_back(message.text.value_or("")); });
    } catch (const TorvexError& error) {
        answer.error = error.description();
    }
    return answer;
}

class TorvexHostTest : public ::testing::Test {
protected:
    // The variables of a host kept inside `temp`.
    std::map<std::string, std::string> environment() const {
        return {{"TORVEX_SOCKET", socket.string()},
                {"TORVEX_SUPPORT_DIR", (temp / "Application Support").string()},
                {"TORVEX_CACHES_DIR", (temp / "Caches").string()},
                {"TORVEX_LOGS_DIR", (temp / "Logs").string()},
                {"TORVEX_WINE_BIN", "/usr/bin"},
                {"HOME", (temp / "home").string()}};
    }

    TempDir temp;
    const fs::path socket = temp / "t.sock";
};

} // namespace

TEST_F(TorvexHostTest, ServesTheSocketPrintsItsEventsAndEndsCleanlyOnSIGTERM) {
    RunningHost host(temp.path(), environment());
    const auto listening = host.waitFor("listening");
    ASSERT_TRUE(listening) << host.output();
    EXPECT_EQ((*listening)["socket"], socket.string());
    EXPECT_EQ((*listening)["pid"], host.pid());

    EXPECT_EQ(ask(socket, IPCRequest("ping", {})).value, "ready");
    EXPECT_EQ(ask(socket, IPCRequest("status", {})).value,
              R"({"profile":"default","profileSummary":"1280×720 · 100 % · Light · en-US","status":"Idle"})");
    const auto events = host.events();
    ASSERT_GE(events.size(), 3u) << host.output();
    EXPECT_EQ(events[0]["event"], "config");
    EXPECT_EQ(events[1]["event"], "status");
    EXPECT_EQ(events[1]["status"], "Idle");
    EXPECT_EQ(events[2]["event"], "listening");
    EXPECT_EQ(readFile(temp / "t.sock.lock"), std::to_string(host.pid()) + "\n");

    EXPECT_EQ(host.end(SIGTERM), 0) << host.output();
    EXPECT_EQ(host.events().back(), nlohmann::json::parse(R"({"event":"stopped","signal":"SIGTERM"})"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket))) << "the socket is removed";
}

TEST_F(TorvexHostTest, ASecondHostLeavesTheSocketToTheFirst) {
    RunningHost first(temp.path(), environment());
    ASSERT_TRUE(first.waitFor("listening")) << first.output();

    RunningHost second(temp.path(), environment());
    EXPECT_EQ(second.end(std::nullopt, 20s), 0) << second.output();
    const auto notice = second.waitFor("notice", 0ms);
    ASSERT_TRUE(notice) << second.output();
    EXPECT_EQ((*notice)["text"], "Torvex is already running (pid " + std::to_string(first.pid()) + ") on " +
                                     socket.string() + ".");
    EXPECT_EQ(ask(socket, IPCRequest("ping", {})).value, "ready") << "the first host still serves";
}

TEST_F(TorvexHostTest, AHostKilledOutrightLeavesAStaleSocketThatTheNextHostReplaces) {
    {
        RunningHost killed(temp.path(), environment());
        ASSERT_TRUE(killed.waitFor("listening")) << killed.output();
        EXPECT_EQ(killed.end(SIGKILL), 128 + SIGKILL);
    }
    ASSERT_TRUE(fs::is_socket(fs::symlink_status(socket))) << "a stale socket stays";
    EXPECT_FALSE(IPCClient::connect(socket)) << "nothing answers on it";

    RunningHost next(temp.path(), environment());
    ASSERT_TRUE(next.waitFor("listening")) << next.output();
    EXPECT_EQ(ask(socket, IPCRequest("ping", {})).value, "ready");
    EXPECT_EQ(readFile(temp / "t.sock.lock"), std::to_string(next.pid()) + "\n");
}

TEST_F(TorvexHostTest, BuildsACopyOfTheExampleAndAnswersItsOutputFolder) {
    if (auto missing = BuildRig::missingTool()) GTEST_SKIP() << *missing;
    BuildRig rig(temp.path());  // the host's roots; sets TORVEX_CC and the engine's address, which it inherits
    RunningHost host(temp.path(), environment());
    ASSERT_TRUE(host.waitFor("listening")) << host.output();

    const Answer answer =
        ask(socket, IPCRequest("build", {.project = rig.project().string(), .flutterRoot = rig.sdkRoot().string()}));
    ASSERT_EQ(answer.value, (rig.workFolder() / "out").string()) << answer.error.value_or("");
    EXPECT_TRUE(fs::is_regular_file(rig.workFolder() / "out" / "hello.exe"));
    ASSERT_FALSE(answer.lines.empty());
    EXPECT_TRUE(answer.lines.front().starts_with("Torvex: building hello")) << answer.lines.front();
    EXPECT_TRUE(answer.lines.back().starts_with("Torvex: built ")) << answer.lines.back();

    // The host saw the build: its status, then every line as a build log event.
    ASSERT_TRUE(host.waitFor("log", 10s, [&](const nlohmann::json& event) { return event["text"] == answer.lines.back(); }));
    std::vector<std::string> statuses, logged;
    for (const auto& event : host.events()) {
        if (event["event"] == "status") statuses.push_back(event["status"]);
        if (event["event"] == "log" && event["source"] == "build") logged.push_back(event["text"]);
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"Idle", "Building hello", "Idle"}));
    std::sort(logged.begin(), logged.end());
    std::vector<std::string> sent = answer.lines;
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(logged, sent);
}
