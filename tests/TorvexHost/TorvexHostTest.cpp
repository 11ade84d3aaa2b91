// The real torvex-host over the real socket: started from the build tree on a temporary socket,
// talked to with the real IPCClient, ended by its pid.

#include "Core/Profile.h"
#include "Service/IPCClient.h"
#include "Service/Messages.h"
#include "support/BuildRig.h"
#include "support/Eventually.h"
#include "support/RunningHost.h"
#include "support/ServiceFixture.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

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

    EXPECT_EQ(requestOver(socket, IPCRequest("ping", {})).value, "ready");
    EXPECT_EQ(requestOver(socket, IPCRequest("status", {})).value,
              R"({"profile":"default","profileSummary":"1280×720 · 100 % · Light · en-US","status":"Idle"})");
    // The service's first events (from its own thread) and the host's own line, in either order.
    const auto config = host.waitFor("config");
    ASSERT_TRUE(config) << host.output();
    EXPECT_EQ((*config)["config"]["currentProfileID"], "default");
    const auto status = host.waitFor("status");
    ASSERT_TRUE(status) << host.output();
    EXPECT_EQ((*status)["status"], "Idle");
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
    EXPECT_EQ(requestOver(socket, IPCRequest("ping", {})).value, "ready") << "the first host still serves";
}

TEST_F(TorvexHostTest, ASecondHostOnTheSameStateRefusesAndNamesTheFirst) {
    RunningHost first(temp.path(), environment());
    ASSERT_TRUE(first.waitFor("listening")) << first.output();

    auto variables = environment();
    const fs::path other = temp / "other.sock";
    variables["TORVEX_SOCKET"] = other.string();
    RunningHost second(temp.path(), variables);
    EXPECT_EQ(second.end(std::nullopt, 20s), 1) << second.output();
    const auto error = second.waitFor("error", 0ms);
    ASSERT_TRUE(error) << second.output();
    EXPECT_EQ((*error)["what"], "Another Torvex host serves this state.");
    EXPECT_EQ((*error)["why"], "torvex-host (pid " + std::to_string(first.pid()) + ") already serves " +
                                   (temp / "Application Support").string() + " on " + socket.string() +
                                   "; a second host on the same state would lose the first one's changes.");
    EXPECT_EQ((*error)["fix"], "Use that host with TORVEX_SOCKET=" + socket.string() + ", or end it with `kill " +
                                   std::to_string(first.pid()) + "` and try again.");
    EXPECT_FALSE(fs::exists(fs::symlink_status(other))) << "it never served";
    EXPECT_EQ(requestOver(socket, IPCRequest("ping", {})).value, "ready") << "the first host still serves";
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
    EXPECT_EQ(requestOver(socket, IPCRequest("ping", {})).value, "ready");
    EXPECT_EQ(readFile(temp / "t.sock.lock"), std::to_string(next.pid()) + "\n");
}

TEST_F(TorvexHostTest, BuildsACopyOfTheExampleAndAnswersItsOutputFolder) {
    if (auto missing = BuildRig::missingTool()) GTEST_SKIP() << *missing;
    BuildRig rig(temp.path());  // the host's roots; sets TORVEX_CC and the engine's address, which it inherits
    RunningHost host(temp.path(), environment());
    ASSERT_TRUE(host.waitFor("listening")) << host.output();

    const auto answer = requestOver(
        socket, IPCRequest("build", {.project = rig.project().string(), .flutterRoot = rig.sdkRoot().string()}));
    ASSERT_EQ(answer.value, (rig.workFolder() / "out").string()) << (answer.error ? answer.error->description() : "");
    std::vector<std::string> lines;
    for (const auto& line : answer.lines) lines.push_back(line.text);
    EXPECT_TRUE(fs::is_regular_file(rig.workFolder() / "out" / "hello.exe"));
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.front().starts_with("Torvex: building hello")) << lines.front();
    EXPECT_TRUE(lines.back().starts_with("Torvex: built ")) << lines.back();

    // The host saw the build: its status, then every line as a build log event, then the status
    // restored, which may be printed after the answer came.
    std::vector<std::string> statuses, logged;
    const auto collect = [&] {
        statuses.clear();
        logged.clear();
        for (const auto& event : host.events()) {
            if (event["event"] == "status") statuses.push_back(event["status"]);
            if (event["event"] == "log" && event["source"] == "build") logged.push_back(event["text"]);
        }
        return statuses.size() >= 3 && logged.size() >= lines.size();
    };
    EXPECT_TRUE(eventually(collect, 10s)) << host.output();
    EXPECT_EQ(statuses, (std::vector<std::string>{"Idle", "Building hello", "Idle"}));
    std::sort(logged.begin(), logged.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(logged, lines);
}

TEST_F(TorvexHostTest, ControlCommandsReachTheServiceAndEachGetsAnAnswer) {
    RunningHost host(temp.path(), environment(), {"--control-stdin"});
    ASSERT_TRUE(host.waitFor("listening")) << host.output();
    const fs::path loose = temp / "loose folder";
    fs::create_directories(loose);
    const struct {
        std::string command;  // sent with "id" set to its place in this table
        std::string answer;   // the answer's members beside "answer", "id" and "ok", or its error's what
        bool ok = true;
    } cases[] = {
        {R"("command":"create-profile","name":"My Laptop")", R"({"profile":"my-laptop"})"},
        {R"("command":"use-profile","profile":"my-laptop")", "{}"},
        {R"("command":"update-profile","dpi":144,"theme":"dark","name":null)", "{}"},
        {R"("command":"update-profile","width":1920,"height":1080)", "{}"},
        {R"("command":"update-profile","theme":"Dark")", "Invalid theme.", false},
        {R"("command":"update-profile","dpi":"144")", "Invalid dpi.", false},
        {R"("command":"set-flutter-root","flutterRoot":"/opt/flutter")", "{}"},
        {R"("command":"complete-onboarding")", "{}"},
        {R"("command":"set-capture-folder","folder":")" + (temp / "shots").string() + R"(")", "{}"},
        {R"("command":"screenshot")", "No Torvex window to capture.", false},
        {R"("command":"stop")", "{}"},
        {R"("command":"relaunch")", "{}"},
        {R"("command":"open")", "Missing project.", false},
        {R"("command":"open","project":")" + loose.string() + R"(")",
         "No Flutter project found at " + loose.string() + ".", false},
        {R"("command":"use-profile","profile":"nope")", "No profile named nope.", false},
        {R"("command":"status")", "Unknown command status.", false},
    };
    for (std::size_t id = 0; id < std::size(cases); ++id) {
        const auto& c = cases[id];
        SCOPED_TRACE(c.command);
        host.send("{" + c.command + R"(,"id":)" + std::to_string(id) + "}");
        const auto answer = host.waitFor("", 30s, [&](const nlohmann::json& line) {
            return line.contains("answer") && line.value("id", -1) == int(id);
        });
        ASSERT_TRUE(answer) << host.output();
        EXPECT_EQ((*answer)["ok"], c.ok);
        if (c.ok) {
            nlohmann::json members = *answer;
            for (const char* key : {"answer", "id", "ok"}) members.erase(key);
            EXPECT_EQ(members, nlohmann::json::parse(c.answer));
        } else {
            EXPECT_EQ((*answer)["error"]["what"], c.answer);
        }
    }

    // The changes are the service's: saved, announced and seen by the socket's clients.
    const auto saved = TorvexConfig::load({temp / "Application Support", temp / "Caches", temp / "Logs"});
    EXPECT_EQ(saved.currentProfileID, "my-laptop");
    // Each update changed exactly its own fields of the current profile, and no other profile.
    const Profile laptop{"my-laptop", "My Laptop", 144, 1920, 1080, Profile::Theme::dark, Profile::defaultProfile().locale};
    EXPECT_EQ(saved.profiles, (std::vector<Profile>{Profile::defaultProfile(), laptop}));
    EXPECT_EQ(saved.flutterRoot, "/opt/flutter");
    EXPECT_TRUE(saved.onboardingCompletedAt);
    EXPECT_EQ(saved.captureFolder, (temp / "shots").string());
    EXPECT_NE(requestOver(socket, IPCRequest("status", {})).value.value_or("").find(R"("profile":"my-laptop")"),
              std::string::npos);
    const auto config = host.waitFor("config", 0ms, [](const nlohmann::json& event) {
        return event["config"]["currentProfileID"] == "my-laptop";
    });
    EXPECT_TRUE(config) << host.output();
}

TEST_F(TorvexHostTest, AClosedStandardDescriptorBecomesDevNullNotTheLockFile) {
    for (const int closed : {0, 1, 2}) {
        SCOPED_TRACE(closed);
        RunningHost host(temp.path(), environment(), {}, closed);
        EXPECT_TRUE(eventually([&] { return IPCClient::connect(socket) != nullptr; }, 30s)) << host.output();
        std::error_code error;
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(host.pid()) + "/fd/" + std::to_string(closed), error),
                  "/dev/null");
        EXPECT_EQ(host.end(SIGTERM), 0) << host.output();
        EXPECT_EQ(readFile(temp / "t.sock.lock"), std::to_string(host.pid()) + "\n") << "no event went into it";
        if (closed != 1) {
            ASSERT_FALSE(host.events().empty()) << host.output();
            EXPECT_EQ(host.events().back()["event"], "stopped");
        }
    }
}

TEST_F(TorvexHostTest, AHostThatCannotServeSaysWhyAndExits1) {
    writeFile(temp / "file", "a file where the socket's folder must be");
    fs::create_directories(temp / "shared");
    ASSERT_EQ(::chmod((temp / "shared").c_str(), 0777), 0);
    fs::create_directories(temp / "sticky");
    ASSERT_EQ(::chmod((temp / "sticky").c_str(), 01777), 0);
    writeFile(temp / "own file", "kept\n");
    fs::create_symlink(temp / "own file", temp / "sticky" / "t.sock.lock");
    const struct {
        std::string name;
        fs::path socket;
        std::string what;
    } cases[] = {
        {"folder", temp / "file" / "t.sock", "Could not create the folder of the Torvex socket."},
        {"too long", temp / std::string(120, 's'), "The Torvex socket path is too long."},
        {"a folder that others may write to", temp / "shared" / "t.sock", "The folder of the Torvex socket is not safe."},
        {"a link planted as the lock", temp / "sticky" / "t.sock", "Could not lock the Torvex socket."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto variables = environment();
        variables["TORVEX_SOCKET"] = c.socket.string();
        RunningHost host(temp.path(), variables);
        EXPECT_EQ(host.end(std::nullopt), 1) << host.output();
        const auto error = host.waitFor("error", 0ms);
        ASSERT_TRUE(error) << host.output();
        EXPECT_EQ((*error)["what"], c.what);
        EXPECT_FALSE((*error)["fix"].get<std::string>().empty());
    }
    EXPECT_EQ(readFile(temp / "own file"), "kept\n") << "nothing was written through the link";

    const SpawnResult wrong = spawnAndWait({RunningHost::program(), {"torvex-host", "--control"}, {}, {}}, temp.path());
    EXPECT_EQ(wrong.status, 64);
    EXPECT_NE(wrong.err.find("usage: torvex-host [--control-stdin]"), std::string::npos) << wrong.err;
}
