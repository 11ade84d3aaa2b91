// The service behind the real socket server and client, with fake Wine and a fake build.
#include "Service/TorvexService.h"

#include "Build/FlutterProject.h"
#include "Core/Base64.h"
#include "Core/Version.h"
#include "Runtime/WindowsHelper.h"
#include "support/FakeWine.h"
#include "support/IPCFixture.h"
#include "support/OutputLines.h"
#include "support/ScopedVariable.h"
#include "support/ServiceFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <latch>
#include <limits>
#include <thread>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::FakeWine;
using testing::ServiceAnswer;
using testing::ServiceEvents;
using testing::ServiceServer;
using testing::TempDir;
using testing::eventually;
using testing::readFile;
using testing::writeFile;
using testing::writeScript;
using Arguments = IPCRequest::Arguments;
using Calls = std::vector<std::vector<std::string>>;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string defaultSummary = "1280×720 · 100 % · Light · en-US";
const std::string reattach = "Settings applied. Press Run again in your IDE to reattach.";

// Whether the process runs (a zombie does not).
bool alive(int pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

std::vector<std::string> registryWrite(const std::string& name, const std::string& data) {
    const std::string key = name == "LogPixels" ? "HKCU\\Control Panel\\Desktop"
                                                : "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
    return {"reg", "add", key, "/v", name, "/t", "REG_DWORD", "/d", data, "/f"};
}

// The one `reg import` of both theme values, with the file's lines.
std::vector<std::string> themeWrite(const std::string& data) {
    std::vector<std::string> call = testing::themeImport(data);
    call.erase(call.begin());
    return call;
}

// A service over fresh folders (with spaces) and fake Wine, served on a socket of its own, with a
// project "demo" whose Windows build output is ready. With a helper, the toolchain is found and the
// Windows helper exists, so that its commands show in the fake Wine's log.
struct ServiceRig {
    explicit ServiceRig(bool withHelper = false, std::chrono::milliseconds appFolderWait = std::chrono::minutes(1)) {
        writeFile(project / "pubspec.yaml", "name: demo\n");
        writeFile(project / "windows/CMakeLists.txt", "set(BINARY_NAME \"demo\")\n");
        fs::create_directories(project / "build/flutter_assets");
        writeFile(paths.builds() / FlutterProject::discover(project).hash() / "out/demo.exe", "MZ demo");
        writeScript(temp / "torvex-cc", "exit 0");
        if (withHelper) {
            const fs::path toolchain = paths.toolchains() / "fake";
            writeScript(toolchain / "llvm-mingw/bin/x86_64-w64-mingw32-clang", "exit 1");
            writeScript(toolchain / "cmake/bin/cmake", "exit 0");
            writeScript(toolchain / "bin/ninja", "exit 0");
            writeFile(WindowsHelper::directory(paths) / "torvex-helper.exe", "MZ helper");
        }

        TorvexService::Dependencies dependencies;
        dependencies.build = [this](const BuildRequest& request, const BuildPipeline::Output& output,
                                    std::stop_token stop) {
            std::unique_lock guard(lock);
            const auto current = build;
            guard.unlock();
            return current(request, output, stop);
        };
        dependencies.isRosettaInstalled = [this](std::stop_token) { return rosetta.load(); };
        dependencies.environment = Environment{{"TORVEX_WINE_BIN", fake.bin().string()},
                                               {"TORVEX_CC", (temp / "torvex-cc").string()}};
        dependencies.now = [] { return std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000)); };
        dependencies.hasLocale = [](const std::string&) { return true; };  // whatever this machine has
        dependencies.install = [this](const std::string& name, const fs::path& projectPath, const WineEnvironment& wine) {
            std::unique_lock guard(lock);
            installsHeld += holdInstalls ? 1 : 0;
            changed.notify_all();
            changed.wait(guard, [&] { return !holdInstalls; });
            guard.unlock();
            return InstalledApp::install(name, projectPath, wine, paths);
        };
        dependencies.appFolderWait = appFolderWait;
        service = TorvexService::create(paths, dependencies);
        service->setEventSink(events.sink());
        server.emplace(service, temp / "s.sock");
    }
    // Ends the session, and with it the requests still waiting for it.
    ~ServiceRig() {
        for (const auto deadline = Clock::now() + 30s; Clock::now() < deadline;) {
            service->stop();
            if (std::all_of(pending.begin(), pending.end(),
                            [](const auto& answer) { return answer.wait_for(100ms) == std::future_status::ready; }))
                break;
        }
    }

    ServiceAnswer request(const std::string& cmd, const Arguments& args = {}) const {
        return server->request(cmd, args);
    }
    // A request on a thread of its own; the rig waits for it at its end.
    std::shared_future<ServiceAnswer> requestLater(const std::string& cmd, const Arguments& args = {}) {
        pending.push_back(std::async(std::launch::async, [this, cmd, args] { return request(cmd, args); }).share());
        return pending.back();
    }
    // Installs wait from now on until releaseInstalls(), as one on a stuck disk does.
    void holdInstallsFromNowOn() {
        const std::lock_guard guard(lock);
        holdInstalls = true;
    }
    bool waitForHeldInstall() {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 20s, [&] { return installsHeld > 0; });
    }
    void releaseInstalls() {
        const std::lock_guard guard(lock);
        holdInstalls = false;
        changed.notify_all();
    }
    void setBuild(std::function<BuildResult(const BuildRequest&, const BuildPipeline::Output&, std::stop_token)> next) {
        const std::lock_guard guard(lock);
        build = std::move(next);
    }
    // Once every event raised so far has reached the sink.
    void settleEvents() {
        const std::string mark = "settled " + std::to_string(++settled);
        service->log(LogLine::Source::torvex, mark, false);
        ASSERT_TRUE(events.waitForLine(mark));
    }
    Arguments demo() const { return {.bundle = (project / "build/flutter_assets").string(), .appName = "demo"}; }
    void install() const { ASSERT_FALSE(request("install", demo()).error); }
    // demo installed, its app running until it is ended once started, and a profile "other".
    void installWithASecondProfile() {
        install();
        fake.behave("wine cmd", {.waitForSignal = true});
        ASSERT_EQ(request("profile-create", {.name = "Other"}).value, "other");
    }
    // Builds, installs and starts demo detached, as "open" does; answers the app's pid once it
    // runs (0 when it does not).
    int open() const {
        const auto answer = request("open", {.project = project.string()});
        EXPECT_FALSE(answer.error) << answer.error->what;
        if (!eventually([&] { return runningApps().size() == 1; })) {
            ADD_FAILURE() << "the app does not run";
            return 0;
        }
        return runningApps().front();
    }
    std::shared_future<ServiceAnswer> run() { return requestLater("run", {.appName = "demo"}); }

    bool waitForStatus(const ServiceStatus& status) const {
        return eventually([&] { return service->currentStatus() == status; }, 20s);
    }
    // The pids of the apps (`wine cmd`) that run now.
    std::vector<int> runningApps() const {
        std::vector<int> pids;
        for (const auto& call : fake.calls()) {
            if (call.program == "wine" && !call.arguments.empty() && call.arguments[0] == "cmd" && alive(call.pid))
                pids.push_back(call.pid);
        }
        return pids;
    }
    std::size_t appStarts() const {
        const auto calls = fake.calls();
        return std::count_if(calls.begin(), calls.end(), [](const auto& call) {
            return call.program == "wine" && !call.arguments.empty() && call.arguments[0] == "cmd";
        });
    }
    // The arguments of each `wine reg` and of each helper command, in order.
    Calls wineCalls(const std::string& first) const {
        Calls found;
        for (const auto& call : fake.calls()) {
            if (call.program == "wine" && !call.arguments.empty() && call.arguments[0] == first) {
                const std::vector<std::string> argv = call.argv();
                found.emplace_back(argv.begin() + 1, argv.end());
            }
        }
        return found;
    }
    Calls registryWrites() const { return wineCalls("reg"); }
    Calls helperCommands() const {
        Calls commands;
        for (auto command : wineCalls((WindowsHelper::directory(paths) / "torvex-helper.exe").string()))
            commands.emplace_back(command.begin() + 1, command.end());
        return commands;
    }

    TempDir temp;
    testing::ScopedVariable display{"DISPLAY", ":torvex-test"};
    TorvexPaths paths{temp / "Application Support", temp / "Caches", temp / "Logs"};
    FakeWine fake{temp / "fake wine"};
    fs::path project = temp / "my projects" / "demo";
    std::atomic<bool> rosetta{true};
    std::mutex lock;
    std::condition_variable changed;  // holdInstalls or installsHeld changed
    bool holdInstalls = false;
    int installsHeld = 0;
    std::function<BuildResult(const BuildRequest&, const BuildPipeline::Output&, std::stop_token)> build =
        [](const BuildRequest&, const BuildPipeline::Output&, std::stop_token) {
            return BuildResult{"/builds/out", "/builds/out/demo.exe"};
        };
    std::shared_ptr<TorvexService> service;
    ServiceEvents events;
    std::optional<ServiceServer> server;
    std::vector<std::shared_future<ServiceAnswer>> pending;
    int settled = 0;  // marks written by settleEvents()
};

TEST(TorvexServiceTest, EveryWordReadsItsArgumentsFirstAndAnswersAsItsRowSays) {
    ServiceRig rig;
    rig.fake.behave("wine cmd", {.exitCode = 3});
    const std::string bundle = rig.demo().bundle.value();
    const auto usage = TorvexError::Kind::usage;
    const struct {
        std::string cmd;
        Arguments args;
        std::optional<std::string> value;
        std::optional<std::string> error = {};  // its what
        TorvexError::Kind kind = TorvexError::Kind::usage;
    } cases[] = {
        {"ping", {}, "ready"},
        {"Build", {}, {}, "Unknown command Build."},
        {" ping", {}, {}, "Unknown command  ping."},
        {"ping ", {}, {}, "Unknown command ping ."},
        {"build", {}, {}, "Missing project."},
        {"build", {.project = "", .bundle = ""}, {}, "Missing project."},
        {"build", {.project = std::string("/a\0b", 4)}, {}, "Invalid project."},
        {"build", {.bundle = bundle}, "/builds/out"},
        {"install", {.appName = "demo"}, {}, "Missing project."},
        {"install", {}, {}, "Missing project."},
        {"install", {.bundle = bundle, .appName = ""}, {}, "Missing appName."},
        {"install", {.bundle = bundle, .appName = "../demo"}, {}, "\"../demo\" is not a usable app name."},
        {"install", rig.demo(), {}},
        {"run", {.appName = "demo"}, "3"},
        {"run", {.appName = std::string("de\0mo", 5)}, {}, "Invalid appName."},
        {"open", {.bundle = bundle}, {}, "Missing project."},
        {"stop", {}, {}},
        {"uninstall", {}, {}, "Missing appName."},
        {"uninstall", {.appName = "demo"}, {}},
        {"run", {.appName = "demo"}, {}, "demo is not installed in Torvex.", TorvexError::Kind::generic},
        {"profile-use", {}, {}, "Missing profile."},
        {"profile-use", {.profile = "nope"}, {}, "No profile named nope."},
        {"profile-create", {.name = ""}, {}, "Missing name."},
        {"profile-delete", {.profile = "default"}, {}, "The default profile can't be deleted."},
        {"profile-set", {.locale = std::string("en\0US", 5)}, {}, "Invalid locale."},
        {"update-check", {}, TorvexVersion::current()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmd + " " + encode(IPCRequest("", c.cmd, c.args)));
        const ServiceAnswer answer = rig.request(c.cmd, c.args);
        EXPECT_EQ(answer.value, c.value);
        ASSERT_EQ(answer.error.has_value(), c.error.has_value()) << (answer.error ? answer.error->what : "");
        if (!c.error) continue;
        EXPECT_EQ(answer.error->what, *c.error);
        EXPECT_EQ(answer.error->kind, c.kind);
    }
    const auto unknown = rig.request("Build").error.value();
    EXPECT_EQ(unknown.why, "The CLI and app may not match.");
    EXPECT_EQ(unknown.fix, "Update Torvex.");
    const auto missing = rig.request("install", {.bundle = bundle}).error.value();
    EXPECT_EQ(missing.why, "The request has no appName.");
    EXPECT_EQ(usage, missing.kind);
}

TEST(TorvexServiceTest, AnAppThatExitsAnswersItsCodeAndTheHostSeesItsWholeSession) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wine cmd", {.standardOutput = {"three"}, .standardError = {"a warning"}, .exitCode = 3});
    const ServiceAnswer answer = rig.run().get();
    EXPECT_EQ(answer.value, "3");
    ASSERT_TRUE(rig.events.waitForLine("demo exited (code 3)"));
    ASSERT_TRUE(rig.events.waitForStatus(ServiceStatus::idle()));

    std::vector<std::string> texts;
    std::vector<std::int64_t> ids;
    for (const auto& line : rig.events.lines()) {
        texts.push_back(line.text);
        ids.push_back(line.id);
    }
    ASSERT_EQ(texts.front(), "Started demo (Windows 11: " + defaultSummary + ")");
    EXPECT_EQ(texts.back(), "demo exited (code 3)");
    EXPECT_NE(std::find(texts.begin(), texts.end(), "three"), texts.end());
    for (std::size_t n = 0; n < ids.size(); ++n) EXPECT_EQ(ids[n], static_cast<std::int64_t>(n) + 1);
    EXPECT_EQ(rig.events.statuses(), (std::vector<ServiceStatus>{ServiceStatus::idle(),
                                                                 ServiceStatus::running("demo", "demo", true),
                                                                 ServiceStatus::idle()}));
    const auto lines = rig.events.lines();
    const auto warning = std::find_if(lines.begin(), lines.end(), [](const LogLine& l) { return l.text == "a warning"; });
    ASSERT_NE(warning, lines.end());
    EXPECT_TRUE(warning->isError);
    EXPECT_EQ(warning->source, LogLine::Source::app);
}

TEST(TorvexServiceTest, APrefixThatCannotBeMadeFailsTheRunAndEndsTheSessionWithCodeMinusOne) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wineboot", {.standardError = {"no room on the disk"}, .exitCode = 1});
    const ServiceAnswer answer = rig.run().get();
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->what, "Could not create the Windows environment.");
    EXPECT_EQ(answer.error->why, "no room on the disk");
    EXPECT_TRUE(rig.events.waitForLine("demo exited (code -1)"));
    EXPECT_TRUE(rig.waitForStatus(ServiceStatus::idle()));
}

TEST(TorvexServiceTest, TheKernelMismatchLineGetsAHintAndANoticeButTheLogFileKeepsOnlyTheApp) {
    ServiceRig rig;
    rig.install();
    const std::string hint =
        "Torvex: the Dart code was built by a different Flutter version than the Windows engine. Run again from your "
        "IDE (or `torvex build` with the same Flutter SDK your IDE uses).";
    const std::string mismatch = "[ERROR] Invalid kernel binary format version, expected 122";
    rig.fake.behave("wine cmd", {.standardOutput = {"before", mismatch}});
    const ServiceAnswer answer = rig.run().get();
    EXPECT_EQ(answer.value, "0");

    const auto at = std::find_if(answer.lines.begin(), answer.lines.end(),
                                 [&](const OutputLine& line) { return line.text == mismatch; });
    ASSERT_NE(at, answer.lines.end());
    EXPECT_EQ(at->stream, OutputStreamKind::standardOutput);
    ASSERT_NE(at + 1, answer.lines.end());
    EXPECT_EQ((at + 1)->stream, OutputStreamKind::standardError);
    EXPECT_EQ((at + 1)->text, hint);
    ASSERT_TRUE(eventually([&] { return rig.events.notices().size() == 1; }));
    EXPECT_EQ(rig.events.notices(), std::vector<std::string>{hint});
    ASSERT_TRUE(rig.events.waitForLine(hint));
    for (const auto& line : rig.events.lines()) {
        if (line.text == hint) {
            EXPECT_TRUE(line.isError && line.source == LogLine::Source::torvex);
        }
    }
    EXPECT_EQ(readFile(rig.paths.logs / "app-demo.log"),
              "Torvex: Creating the Windows environment (first run only)\u2026\nbefore\n" + mismatch + "\n");

    // The same app again: its log holds this run only.
    rig.fake.behave("wine cmd", {.standardOutput = {"second run"}});
    EXPECT_EQ(rig.run().get().value, "0");
    EXPECT_EQ(readFile(rig.paths.logs / "app-demo.log"), "second run\n");
}

TEST(TorvexServiceTest, ANewRunEndsTheSessionBeforeIt) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wine cmd", {.waitForSignal = true});

    // A detached app ends without an "exited" line.
    const int detached = rig.open();
    auto first = rig.run();
    ASSERT_TRUE(eventually([&] { return rig.appStarts() == 2 && rig.runningApps().size() == 1; }));
    EXPECT_FALSE(alive(detached));

    // An attached one: its client gets the terminated app's code.
    auto second = rig.run();
    EXPECT_EQ(first.get().value, "143");
    ASSERT_TRUE(eventually([&] { return rig.appStarts() == 3 && rig.runningApps().size() == 1; }));
    rig.service->stop();
    EXPECT_EQ(second.get().value, "143");

    EXPECT_TRUE(rig.events.waitForStatus(ServiceStatus::idle()));
    for (const auto& line : rig.events.lines()) EXPECT_EQ(line.text.find("exited"), std::string::npos) << line.text;
    const auto statuses = rig.events.statuses();
    const std::vector<ServiceStatus> expected{
        ServiceStatus::idle(),  ServiceStatus::building("demo"), ServiceStatus::idle(),
        ServiceStatus::running("demo", "demo", false), ServiceStatus::idle(), ServiceStatus::running("demo", "demo", true),
        ServiceStatus::idle(),  ServiceStatus::running("demo", "demo", true), ServiceStatus::idle()};
    EXPECT_EQ(statuses, expected);
}

TEST(TorvexServiceTest, WithoutRosettaARunFailsAndTheRunningAppGoesOn) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wine cmd", {.waitForSignal = true});
    rig.open();
    rig.rosetta = false;
    const ServiceAnswer answer = rig.run().get();
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->what, "This machine cannot run Windows x64 apps.");
    EXPECT_EQ(rig.runningApps().size(), 1u);
    EXPECT_EQ(rig.service->currentStatus(), ServiceStatus::running("demo", "demo", false));
}

TEST(TorvexServiceTest, AHangUpEndsTheAppWithSIGTERMOrSIGKILLThreeSecondsLater) {
    for (const bool ignoresTerm : {false, true}) {
        SCOPED_TRACE(ignoresTerm ? "ignores SIGTERM" : "ends at SIGTERM");
        ServiceRig rig;
        rig.install();
        rig.fake.behave("wine cmd", {.standardOutput = {"up"}, .waitForSignal = true, .ignoreTerm = ignoresTerm});
        testing::RawClient client(rig.server->socket());
        ASSERT_TRUE(client.readMessage());  // hello
        client.write(encode(IPCRequest("run", {.appName = "demo"})) + "\n");
        while (auto message = client.readMessage()) {
            if (message->text == "up") break;
        }
        ASSERT_EQ(rig.runningApps().size(), 1u);
        const int app = rig.runningApps().front();

        const auto hungUp = Clock::now();
        client.hangUp();
        ASSERT_TRUE(eventually([&] { return !alive(app); }, 20s));
        const auto took = Clock::now() - hungUp;
        if (ignoresTerm) EXPECT_GE(took, 2900ms);
        else EXPECT_LT(took, 2900ms);
        EXPECT_TRUE(rig.events.waitForLine(ignoresTerm ? "demo exited (code 137)" : "demo exited (code 143)"));
        EXPECT_TRUE(rig.waitForStatus(ServiceStatus::idle()));
    }
}

TEST(TorvexServiceTest, TwentyOverlappingStartsLeaveOneAppAndNeverTwo) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wine cmd", {.waitForSignal = true});
    std::atomic<bool> sampling{true};
    std::atomic<std::size_t> most{0};
    std::jthread sampler([&] {
        while (sampling) {
            most = std::max(most.load(), rig.runningApps().size());
            std::this_thread::sleep_for(2ms);
        }
    });

    std::vector<std::shared_future<ServiceAnswer>> runs;
    for (int n = 0; n < 20; ++n) runs.push_back(rig.run());
    const auto ended = [&] {
        return std::count_if(runs.begin(), runs.end(),
                             [](auto& run) { return run.wait_for(0s) == std::future_status::ready; });
    };
    ASSERT_TRUE(eventually([&] { return ended() == 19; }, 40s)) << ended();
    ASSERT_TRUE(eventually([&] { return rig.runningApps().size() == 1; }));
    EXPECT_EQ(rig.service->currentStatus(), ServiceStatus::running("demo", "demo", true));
    for (auto& run : runs) {
        if (run.wait_for(0s) != std::future_status::ready) continue;
        const ServiceAnswer answer = run.get();
        // Replaced while it ran, or while it was still being prepared.
        EXPECT_TRUE(answer.value == "143" || (answer.error && answer.error->what == "Cancelled."))
            << answer.value.value_or(answer.error ? answer.error->what : "");
    }
    ASSERT_TRUE(eventually([&] { return most.load() == 1; }));  // the sampler has seen the last app
    rig.service->stop();
    sampling = false;
    sampler.join();
    EXPECT_EQ(most.load(), 1u);
    EXPECT_TRUE(rig.runningApps().empty());
}

TEST(TorvexServiceTest, AClientThatPausesWithAFullBufferDuringANoisyBuildGetsEveryLine) {
    ServiceRig rig;
    constexpr int count = 20000;  // 4 MB: far more than the socket holds
    rig.setBuild([](const BuildRequest&, const BuildPipeline::Output& output, std::stop_token) {
        for (int n = 0; n < count; ++n) output(std::to_string(n) + " " + std::string(200, 'x'));
        return BuildResult{"/builds/out", "/builds/out/demo.exe"};
    });
    testing::RawClient client(rig.server->socket());
    ASSERT_TRUE(client.readMessage());  // the hello
    ASSERT_TRUE(client.write(encode(IPCRequest("build", {.project = rig.project.string()})) + "\n"));
    std::this_thread::sleep_for(1s);  // reads nothing while the buffer fills

    int next = 0;
    std::optional<IPCMessage> last;
    while (auto message = client.readMessage()) {
        if (message->type != IPCMessage::Kind::log) {
            last = message;
            continue;
        }
        const std::string text = message->text.value_or("");
        if (text.find(' ') == std::string::npos) continue;  // a progress line of the service's own
        if (text.substr(0, text.find(' ')) != std::to_string(next)) {
            ADD_FAILURE() << "line " << next << " is missing or out of order: " << text.substr(0, 20);
            break;
        }
        ++next;
    }
    EXPECT_EQ(next, count);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->type, IPCMessage::Kind::result);
    EXPECT_EQ(last->value, "/builds/out");
}

TEST(TorvexServiceTest, AClientThatStopsReadingStallsNoOtherClient) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wine cmd",
                    {.standardOutput = {std::string(200, 'x')}, .repeatStandardOutput = 20000, .waitForSignal = true});
    testing::RawClient slow(rig.server->socket());
    slow.write(encode(IPCRequest("run", {.appName = "demo"})) + "\n");  // and never reads
    ASSERT_TRUE(eventually([&] { return rig.runningApps().size() == 1; }));
    std::this_thread::sleep_for(1s);  // the socket fills up

    std::vector<Clock::duration> took;
    for (int n = 0; n < 20; ++n) {
        const auto began = Clock::now();
        EXPECT_EQ(rig.request(n % 2 ? "ping" : "status").error, std::nullopt);
        took.push_back(Clock::now() - began);
    }
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[took.size() / 2], 100ms);
    EXPECT_LT(took.back(), 2s);
    const std::string log = readFile(rig.paths.logs / "app-demo.log");
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 20000) << "the client was not stalled";

    slow.hangUp();
    EXPECT_TRUE(rig.waitForStatus(ServiceStatus::idle()));
    EXPECT_TRUE(rig.runningApps().empty());
}

TEST(TorvexServiceTest, ProfileChangesRestartTheAppOrReachItLive) {
    enum class Session { none, attached, detached, ofAnotherProfile };
    const Calls restartRegistry{registryWrite("LogPixels", "144"), themeWrite("1")};
    const struct {
        std::string name;
        Arguments change;
        Session session;
        bool restart;
        bool notice;
        Calls registry;
        Calls helper;
    } cases[] = {
        {"dpi, attached: restarted detached, with a notice", {.dpi = 144}, Session::attached, true, true,
         restartRegistry, {{"resize", "1280", "720"}}},
        {"dpi, detached: restarted, no notice", {.dpi = 144}, Session::detached, true, false, restartRegistry,
         {{"resize", "1280", "720"}}},
        {"locale and theme: restarted, nothing live", {.theme = "dark", .locale = "de-DE"}, Session::detached, true,
         false, {themeWrite("0")},
         {{"resize", "1280", "720"}}},
        {"theme: written and broadcast", {.theme = "dark"}, Session::attached, false, false,
         {themeWrite("0")}, {{"theme"}}},
        {"width: resized", {.width = 1600}, Session::detached, false, false, {}, {{"resize", "1600", "720"}}},
        {"theme and size: theme first", {.width = 800, .height = 600, .theme = "dark"}, Session::detached, false,
         false, {themeWrite("0")},
         {{"theme"}, {"resize", "800", "600"}}},
        {"Dark in capitals, nothing else: nothing applied", {.theme = "Dark"}, Session::detached, false, false, {},
         {}},
        {"a session of another profile: nothing applied", {.dpi = 144, .theme = "dark"}, Session::ofAnotherProfile,
         false, false, {}, {}},
        {"no session", {.dpi = 144, .theme = "dark"}, Session::none, false, false, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceRig rig(true);
        rig.install();
        rig.fake.behave("wine cmd", {.waitForSignal = true});
        std::shared_future<ServiceAnswer> attached;
        if (c.session == Session::attached) attached = rig.run();
        if (c.session == Session::detached) rig.open();
        if (c.session == Session::ofAnotherProfile) {
            ASSERT_EQ(rig.request("profile-create", {.name = "Other"}).value, "other");
            ASSERT_FALSE(rig.request("profile-use", {.profile = "other"}).error);
            rig.open();
            ASSERT_FALSE(rig.request("profile-delete", {.profile = "other"}).error);  // the app goes on
        }
        if (c.session != Session::none) {
            ASSERT_TRUE(eventually([&] { return rig.runningApps().size() == 1 && rig.helperCommands().size() == 1; }));
        }
        const std::vector<int> before = rig.runningApps();
        rig.settleEvents();
        const std::size_t configs = rig.events.configs().size();
        rig.fake.clearCalls();

        const ServiceAnswer answer = rig.request("profile-set", c.change);
        ASSERT_FALSE(answer.error) << answer.error->what;
        if (c.restart) {
            // The old app ends before the new one starts: wait for the whole restart.
            const ServiceStatus running = ServiceStatus::running("demo", "demo", false);
            EXPECT_TRUE(eventually([&] {
                return rig.helperCommands() == c.helper && rig.appStarts() == 1 && rig.runningApps().size() == 1 &&
                       rig.service->currentStatus() == running;
            }));
            EXPECT_EQ(rig.helperCommands(), c.helper);
            EXPECT_EQ(rig.appStarts(), 1u);
            EXPECT_EQ(rig.runningApps().size(), 1u);
            EXPECT_EQ(rig.service->currentStatus(), running);
        } else {
            EXPECT_EQ(rig.helperCommands(), c.helper);
            EXPECT_EQ(rig.appStarts(), 0u);
        }
        for (const int pid : before) EXPECT_EQ(alive(pid), !c.restart);
        EXPECT_EQ(rig.registryWrites(), c.registry);
        if (attached.valid() && c.restart) {
            EXPECT_EQ(attached.get().value, "143");
        }
        EXPECT_TRUE(eventually([&] { return rig.events.configs().size() == configs + 1; }));
        EXPECT_EQ(rig.events.notices(), c.notice ? std::vector<std::string>{reattach} : std::vector<std::string>{});
        rig.service->stop();
    }
}

TEST(TorvexServiceTest, UsingAProfileMovesTheRunningAppIntoItsPrefix) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wine cmd", {.waitForSignal = true});
    auto attached = rig.run();
    ASSERT_TRUE(eventually([&] { return rig.runningApps().size() == 1; }, 20s));
    ASSERT_EQ(rig.request("profile-create", {.name = "My Laptop"}).value, "my-laptop");

    // An unknown id: nothing changes.
    rig.settleEvents();
    const auto configs = rig.events.configs().size();
    EXPECT_EQ(rig.request("profile-use", {.profile = "nope"}).error.value().kind, TorvexError::Kind::usage);
    EXPECT_EQ(rig.runningApps().size(), 1u);

    ASSERT_FALSE(rig.request("profile-use", {.profile = "my-laptop"}).error);
    EXPECT_EQ(attached.get().value, "143");
    // The move goes on in the background, after the answer: its install, then its start.
    ASSERT_TRUE(eventually([&] { return rig.appStarts() == 2 && rig.runningApps().size() == 1; }, 20s));
    const auto calls = rig.fake.calls();
    EXPECT_EQ(calls.back().environment.at("WINEPREFIX"), (rig.paths.support / "prefixes/my-laptop").string());
    EXPECT_TRUE(fs::exists(rig.paths.support / "prefixes/my-laptop/drive_c/Torvex/Apps/demo/demo.exe"));
    EXPECT_TRUE(rig.waitForStatus(ServiceStatus::running("demo", "demo", false))) << rig.service->currentStatus().label();
    EXPECT_EQ(TorvexConfig::load(rig.paths).currentProfileID, "my-laptop");
    EXPECT_TRUE(eventually([&] { return rig.events.notices().size() == 1; }, 10s));
    EXPECT_EQ(rig.events.notices(), std::vector<std::string>{reattach});
    rig.settleEvents();
    EXPECT_EQ(rig.events.configs().size(), configs + 1);
}

TEST(TorvexServiceTest, ProfileChangesMadeAtOnceAreAllKept) {
    using Requests = std::vector<std::pair<std::string, Arguments>>;
    const struct {
        std::string name;
        std::function<Requests(std::int64_t round)> requests;  // sent at once, from the default profile
        std::function<void(const TorvexConfig&, std::int64_t round)> check;
    } cases[] = {
        {"five profile-sets, each of another field",
         [](std::int64_t round) {
             return Requests{{"profile-set", {.dpi = 100 + round}},
                             {"profile-set", {.width = 1000 + round}},
                             {"profile-set", {.height = 500 + round}},
                             {"profile-set", {.theme = round % 2 ? "light" : "dark"}},
                             {"profile-set", {.locale = "xx-" + std::to_string(round)}}};
         },
         [](const TorvexConfig& config, std::int64_t round) {
             Profile expected = Profile::defaultProfile();
             expected.dpi = 100 + round;
             expected.width = 1000 + round;
             expected.height = 500 + round;
             expected.theme = round % 2 ? Profile::Theme::light : Profile::Theme::dark;
             expected.locale = "xx-" + std::to_string(round);
             EXPECT_EQ(config.currentProfile(), expected);
         }},
        {"a profile-set beside a profile-use",
         [](std::int64_t round) {
             return Requests{{"profile-set", {.width = 2000 + round}}, {"profile-use", {.profile = "other"}}};
         },
         [](const TorvexConfig& config, std::int64_t round) {
             EXPECT_EQ(config.currentProfileID, "other") << "the switch stands";
             // The width went to whichever profile was current when it was applied, and only there.
             EXPECT_EQ(std::count_if(config.profiles.begin(), config.profiles.end(),
                                     [&](const Profile& profile) { return profile.width == 2000 + round; }),
                       1);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceRig rig;
        ASSERT_EQ(rig.request("profile-create", {.name = "Other"}).value, "other");
        for (std::int64_t round = 0; round < 15; ++round) {
            SCOPED_TRACE(round);
            ASSERT_FALSE(rig.request("profile-use", {.profile = "default"}).error);
            std::vector<std::shared_future<ServiceAnswer>> answers;
            for (const auto& [cmd, args] : c.requests(round)) answers.push_back(rig.requestLater(cmd, args));
            for (auto& answer : answers) EXPECT_FALSE(answer.get().error);
            const TorvexConfig config = rig.service->currentConfig();
            c.check(config, round);
            EXPECT_EQ(TorvexConfig::load(rig.paths), config) << "the file holds the last change";
        }
    }
}

TEST(TorvexServiceTest, ADetachedRestartCompletesThoughItsClientHangsUpAtOnce) {
    const struct {
        std::string name;
        IPCRequest request;
        bool attachedSession;
        std::string profileID;  // current once it is done
        std::int64_t dpi;
    } cases[] = {
        {"profile-use", IPCRequest("profile-use", {.profile = "other"}), false, "other", 96},
        {"a new dpi", IPCRequest("profile-set", {.dpi = 144}), false, "default", 144},
        {"a new dpi while a client waits for the app", IPCRequest("profile-set", {.dpi = 144}), true, "default", 144},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceRig rig;
        rig.installWithASecondProfile();
        std::shared_future<ServiceAnswer> attached;
        if (c.attachedSession) attached = rig.run();
        else rig.open();
        ASSERT_TRUE(eventually([&] { return rig.runningApps().size() == 1; }));
        const int before = rig.runningApps().front();

        testing::RawClient client(rig.server->socket());
        ASSERT_TRUE(client.write(encode(c.request) + "\n"));
        client.hangUp();  // as Ctrl-C of `torvex profile ...` does

        const ServiceStatus running = ServiceStatus::running("demo", "demo", false);
        EXPECT_TRUE(eventually([&] {
            const auto apps = rig.runningApps();
            return apps.size() == 1 && apps.front() != before && rig.service->currentStatus() == running;
        })) << "the app runs again";
        const Profile current = TorvexConfig::load(rig.paths).currentProfile();
        EXPECT_EQ(current.id, c.profileID);
        EXPECT_EQ(current.dpi, c.dpi);
        if (attached.valid()) {
            EXPECT_EQ(attached.get().value, "143");
        }
        rig.service->stop();
    }
}

TEST(TorvexServiceTest, RunsBesideInstallsOfTheSameAppAlwaysFindIt) {
    for (const bool changedBuild : {false, true}) {
        SCOPED_TRACE(changedBuild ? "a changed build of many files each time" : "the same build again");
        ServiceRig rig;
        const fs::path out = rig.paths.builds() / FlutterProject::discover(rig.project).hash() / "out";
        const auto writeAssets = [&](int build) {
            for (int n = 0; n < 200; ++n)
                writeFile(out / "data/flutter_assets/assets" / std::to_string(n), std::string(1000 + build, 'a'));
        };
        writeAssets(0);
        rig.install();
        std::atomic<bool> installing = true;
        std::atomic<int> installs = 0;
        std::jthread installer([&] {
            for (int build = 1; installing; ++build) {
                if (changedBuild) writeAssets(build);
                const auto answer = rig.request("install", rig.demo());
                EXPECT_FALSE(answer.error) << answer.error->what;
                ++installs;
            }
        });
        int runs = 0;
        for (; runs < 20 || (installs < 20 && runs < 200); ++runs) {
            const ServiceAnswer answer = rig.request("run", {.appName = "demo"});
            EXPECT_EQ(answer.value, "0") << (answer.error ? answer.error->what : "");
        }
        installing = false;
        installer.join();
        EXPECT_GE(installs.load(), 20) << "in " << runs << " runs";
    }
}

TEST(TorvexServiceTest, AStartAfterAnUnfinishedInstallSaysSoAndStartsNothing) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "a restart of the running app for a new dpi" : "run");
        ServiceRig rig;
        rig.install();
        if (restart) {
            rig.fake.behave("wine cmd", {.waitForSignal = true});
            rig.open();
        }
        const std::size_t starts = rig.appStarts();
        const fs::path fifo = rig.paths.builds() / FlutterProject::discover(rig.project).hash() / "out/zz.fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);  // the install fails there, after the executable
        EXPECT_EQ(rig.request("install", rig.demo()).error.value().kind, TorvexError::Kind::unsupported);

        const auto answer = restart ? rig.request("profile-set", {.dpi = 144}) : rig.request("run", {.appName = "demo"});
        const TorvexError error = answer.error.value();
        EXPECT_EQ(error.what, "The installation of demo did not finish.");
        EXPECT_EQ(error.fix,
                  "Run it from your IDE again, or run `torvex install --app-name demo --bundle build/flutter_assets`.");
        EXPECT_EQ(rig.appStarts(), starts);
        EXPECT_TRUE(rig.runningApps().empty());

        fs::remove(fifo);
        rig.install();
        rig.fake.behave("wine cmd", {});
        EXPECT_EQ(rig.request("run", {.appName = "demo"}).value, "0");
    }
}

TEST(TorvexServiceTest, ARestartBehindAnInstallThatHangsGivesUpAndSaysWhy) {
    const struct {
        std::string name;
        std::function<std::optional<TorvexError>(ServiceRig&)> restart;
    } cases[] = {
        {"a restart for a new dpi", [](ServiceRig& rig) { return rig.request("profile-set", {.dpi = 144}).error; }},
        {"relaunch",
         [](ServiceRig& rig) {
             try {
                 rig.service->relaunch();
             } catch (const TorvexError& error) {
                 return std::optional(error);
             }
             return std::optional<TorvexError>();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceRig rig(false, 1s);
        rig.installWithASecondProfile();
        rig.open();
        rig.holdInstallsFromNowOn();
        const auto install = rig.requestLater("install", rig.demo());
        ASSERT_TRUE(rig.waitForHeldInstall());

        const auto began = Clock::now();
        auto restarted = std::async(std::launch::async, [&] { return c.restart(rig); });
        const bool ended = restarted.wait_for(20s) == std::future_status::ready;
        rig.releaseInstalls();
        ASSERT_TRUE(ended) << "the restart waits for the install for ever";
        EXPECT_LT(Clock::now() - began, 15s);
        const std::optional<TorvexError> error = restarted.get();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->what, "demo is busy.");
        EXPECT_NE(error->why.find("has held " + (rig.paths.support / "prefixes/default/drive_c/Torvex/Apps/demo").string() +
                                  " for 1 s, so Torvex stopped waiting for it."),
                  std::string::npos)
            << error->why;
        EXPECT_TRUE(error->fix.starts_with("Try again once it has finished. If it never does: End this Torvex host"))
            << error->fix;
        EXPECT_TRUE(rig.events.waitForLine("demo did not start: " + error->description()))
            << "the host hears why no app runs";
        EXPECT_FALSE(install.get().error);
        EXPECT_TRUE(rig.waitForStatus(ServiceStatus::idle()));
        EXPECT_TRUE(rig.runningApps().empty());
    }
}

TEST(TorvexServiceTest, AStartThatFailsTellsTheHostWhyWhenNoClientWaitsForIt) {
    enum class Start { open, relaunch, newDPI, otherProfile, run };
    const struct {
        std::string name;
        Start start;
        std::string removed;    // the fake Wine program that is gone once the first app runs
        bool answeredWithError;  // the request's client hears the cause
        bool noticed;            // the host does
    } cases[] = {
        {"open", Start::open, "wineserver", false, true},
        {"relaunch", Start::relaunch, "wineserver", false, true},
        {"a restart for a new dpi", Start::newDPI, "wineserver", false, true},
        {"a move into another profile", Start::otherProfile, "wineserver", false, true},
        {"a move into another profile without Wine", Start::otherProfile, "wine", true, true},
        {"run (attached)", Start::run, "wineserver", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceRig rig;
        rig.installWithASecondProfile();
        if (c.start != Start::open && c.start != Start::run) rig.open();
        fs::remove(rig.fake.bin() / c.removed);  // every session flow starts wineserver first
        rig.settleEvents();
        const std::size_t linesBefore = rig.events.lines().size();

        std::optional<TorvexError> error;
        switch (c.start) {
        case Start::open: error = rig.request("open", {.project = rig.project.string()}).error; break;
        case Start::relaunch: rig.service->relaunch(); break;
        case Start::newDPI: error = rig.request("profile-set", {.dpi = 144}).error; break;
        case Start::otherProfile: error = rig.request("profile-use", {.profile = "other"}).error; break;
        case Start::run: error = rig.run().get().error; break;
        }
        const bool started = c.removed == "wineserver";  // a session began, and ends with -1
        if (started) {
            ASSERT_TRUE(rig.events.waitForLine("demo exited (code -1)"));
        }
        EXPECT_TRUE(rig.waitForStatus(ServiceStatus::idle()));
        rig.settleEvents();
        ASSERT_EQ(error.has_value(), c.answeredWithError) << (error ? error->what : "");
        if (error) {
            EXPECT_NE((error->what + error->why).find(c.removed), std::string::npos) << error->what;
        }

        const auto notices = rig.events.notices();
        if (!c.noticed) {
            EXPECT_EQ(notices, std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_TRUE(notices[0].starts_with("demo did not start: ")) << notices[0];
        EXPECT_NE(notices[0].find(c.removed), std::string::npos) << notices[0];
        std::vector<std::string> texts;
        for (const auto& line : rig.events.lines()) texts.push_back(line.text);
        texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        const auto noticed = std::find(texts.begin(), texts.end(), notices[0]);
        EXPECT_NE(noticed, texts.end()) << "the host's log has it too";
        if (started) {
            EXPECT_LT(noticed, std::find(texts.begin(), texts.end(), "demo exited (code -1)")) << "the cause comes first";
            const std::string log = readFile(rig.paths.logs / "app-demo.log");
            EXPECT_NE(log.find(notices[0]), std::string::npos) << log;
        }
    }
}

TEST(TorvexServiceTest, TheStatusTextFollowsTheServiceWithSortedKeysAndEscapedSlashes) {
    const std::string idle =
        R"j({"profile":"default","profileSummary":")j" + defaultSummary + R"j(","status":"Idle"})j";
    const struct {
        std::string name;
        std::function<void(ServiceRig&)> arrange;
        std::string text;
    } cases[] = {
        {"idle", [](ServiceRig&) {}, idle},
        {"running attached",
         [](ServiceRig& rig) {
             rig.install();
             rig.run();  // its future ends with the session at the end of the case
             ASSERT_TRUE(rig.waitForStatus(ServiceStatus::running("demo", "demo", true)));
         },
         R"j({"app":"demo","attached":true,"profile":"default","profileSummary":")j" + defaultSummary +
             R"j(","status":"Running demo"})j"},
        {"running detached", [](ServiceRig& rig) { rig.open(); },
         R"j({"app":"demo","attached":false,"profile":"default","profileSummary":")j" + defaultSummary +
             R"j(","status":"Running demo (not attached)"})j"},
        {"a locale with a slash, and a scale beyond 64 bits",
         [](ServiceRig& rig) {
             ASSERT_FALSE(rig.request("profile-set", {.dpi = std::numeric_limits<std::int64_t>::max(),
                                                      .locale = "sr/Latn"})
                              .error);
         },
         R"j({"profile":"default","profileSummary":"1280×720 · 9223372036854775807 % · Light · sr\/Latn","status":"Idle"})j"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceRig rig;
        rig.fake.behave("wine cmd", {.waitForSignal = true});
        c.arrange(rig);
        EXPECT_EQ(rig.request("status").value, c.text);
    }

    // While a build runs beside no session, and once it has ended.
    ServiceRig rig;
    std::latch building(1), release(1);
    rig.setBuild([&](const BuildRequest&, const BuildPipeline::Output& output, std::stop_token) {
        output("compiling");
        building.count_down();
        release.wait();
        return BuildResult{"/builds/out", "/builds/out/demo.exe"};
    });
    auto build = rig.requestLater("build", {.project = rig.project.string()});
    building.wait();
    EXPECT_EQ(rig.request("status").value,
              R"j({"profile":"default","profileSummary":")j" + defaultSummary + R"j(","status":"Building demo"})j");
    release.count_down();
    const ServiceAnswer built = build.get();
    EXPECT_EQ(built.value, "/builds/out");
    ASSERT_EQ(built.lines.size(), 1u);
    EXPECT_EQ(built.lines[0].text, "compiling");
    EXPECT_EQ(rig.request("status").value, idle);
    EXPECT_TRUE(rig.events.waitForLine("compiling"));
}

TEST(TorvexServiceTest, AScreenshotIsTheCaptureClosuresPNGInBase64) {
    ServiceRig rig;
    rig.install();
    EXPECT_EQ(rig.request("screenshot").error.value().what, "No Torvex window to capture.");
    rig.fake.behave("wine cmd", {.waitForSignal = true});
    rig.open();
    const auto noCapture = rig.request("screenshot").error.value();
    EXPECT_EQ(noCapture.what, "Screen capture is not available.");
    EXPECT_EQ(noCapture.fix, "End this Torvex host with `kill " + std::to_string(::getpid()) +
                                 "`; the next `torvex` command starts a new one.");

    std::string png("\x89PNG\r\n\x1a\n", 8);
    for (int byte = 0; byte < 256; ++byte) png += static_cast<char>(byte);
    testing::OutputLines asked;  // the binary names the closure was given
    rig.service->setCapture([png, sink = asked.sink()](const std::optional<std::string>& binaryName, std::stop_token) {
        sink({OutputStreamKind::standardOutput, binaryName.value_or("(none)")});
        return png;
    });
    const auto value = rig.request("screenshot").value.value();
    EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(decodedBase64(value), png);
    EXPECT_EQ(asked.texts(OutputStreamKind::standardOutput), std::vector<std::string>{"demo"});

    rig.service->setCapture([](const std::optional<std::string>&, std::stop_token) -> std::string {
        throw std::runtime_error("the window server is gone");
    });
    const auto failed = rig.request("screenshot").error.value();
    EXPECT_EQ(failed.what, "Torvex failed.");
    EXPECT_EQ(failed.why, "the window server is gone");
    EXPECT_EQ(failed.fix, "Check the Torvex logs.");
}

TEST(TorvexServiceTest, ProfileOperationsSaveThenAnnounce) {
    ServiceRig rig;
    ASSERT_EQ(rig.request("profile-create", {.name = "My Laptop"}).value, "my-laptop");
    ASSERT_FALSE(rig.request("profile-set", {.theme = "dark"}).error);
    ASSERT_FALSE(rig.request("profile-use", {.profile = "my-laptop"}).error);
    rig.service->completeOnboarding("/opt/flutter");
    rig.service->completeOnboarding(std::nullopt);  // keeps the root
    rig.service->setCaptureFolder(rig.temp / "shots");
    ASSERT_FALSE(rig.request("profile-delete", {.profile = "gone"}).error);
    ASSERT_FALSE(rig.request("profile-delete", {.profile = "my-laptop"}).error);

    TorvexConfig expected;
    expected.profiles.front().theme = Profile::Theme::dark;
    expected.onboardingCompletedAt = 1'700'000'000 - 978'307'200;
    expected.flutterRoot = "/opt/flutter";
    expected.captureFolder = (rig.temp / "shots").string();
    EXPECT_EQ(TorvexConfig::load(rig.paths), expected);
    EXPECT_EQ(rig.service->currentConfig(), expected);
    EXPECT_EQ(rig.request("profile-list").value, expected.compactJSON());
    ASSERT_TRUE(eventually([&] { return rig.events.configs().size() == 9; }));
    EXPECT_EQ(rig.events.configs().back(), expected);
}

TEST(TorvexServiceTest, AFailedSaveKeepsTheChangeInMemoryAndSendsNoEvent) {
    ServiceRig rig;
    fs::create_directories(rig.paths.support / "config.json.lock");  // a folder where the lock file goes
    const auto error = rig.request("profile-create", {.name = "Work"}).error.value();
    EXPECT_EQ(error.what, "Torvex failed.");
    EXPECT_NE(error.why.find("config.json.lock"), std::string::npos) << error.why;
    EXPECT_EQ(error.fix, "Check the Torvex logs.");
    EXPECT_EQ(rig.service->currentConfig().profiles.back().id, "work");
    EXPECT_FALSE(fs::exists(rig.paths.support / "config.json"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rig.events.configs().size(), 1u);  // the sink's first
}

TEST(TorvexServiceTest, AProfileNameWhoseIDCannotNameAFolderIsRefusedAtCreation) {
    ServiceRig rig;
    ASSERT_EQ(rig.request("profile-create", {.name = std::string(255, 'a')}).value, std::string(255, 'a'));
    const TorvexConfig before = rig.service->currentConfig();

    const auto error = rig.request("profile-create", {.name = "\x1B[31m" + std::string(100'000, 'b')}).error.value();
    EXPECT_EQ(error.kind, TorvexError::Kind::usage);
    EXPECT_EQ(error.what, "The profile name \u201C\\u001B[31m" + std::string(30, 'b') + "\u2026\u201D is too long.");
    EXPECT_EQ(error.why, "Its id would be 100003 bytes long; an id names the folder of the profile's Windows environment, "
                         "which holds at most 255.");
    EXPECT_EQ(error.fix, "Give the profile a shorter name.");
    EXPECT_EQ(rig.service->currentConfig(), before);
    EXPECT_EQ(TorvexConfig::load(rig.paths), before);
}

TEST(TorvexServiceTest, EachSinkStartsFromTheConfigurationAndStatusAndAThrowingOneHarmsNothing) {
    ServiceRig rig;
    ServiceEvents second;
    std::atomic<int> thrown{0};
    rig.service->setEventSink([&thrown](const ServiceEvent&) {
        ++thrown;
        throw std::runtime_error("the host's sink failed");
    });
    ASSERT_TRUE(eventually([&] { return thrown == 2; }));
    EXPECT_EQ(rig.request("ping").value, "ready");
    rig.service->setEventSink(second.sink());
    ASSERT_TRUE(second.waitFor([](const auto& events) { return events.size() == 2; }));
    EXPECT_EQ(second.all(), (std::vector<ServiceEvent>{ServiceEvent::config(TorvexConfig()),
                                                        ServiceEvent::status(ServiceStatus::idle())}));
    rig.service->log(LogLine::Source::torvex, "hello", false);
    ASSERT_TRUE(second.waitForLine("hello"));
    EXPECT_EQ(rig.events.all().size(), 2u);  // the first sink heard nothing more
    EXPECT_EQ(thrown, 2);
}

TEST(TorvexServiceTest, UpdateCheckAnswersTheVersionOnceTheHostsCheckHasReturned) {
    ServiceRig rig;
    std::latch checking(1), release(1);
    rig.service->setUpdateCheck([&](std::stop_token) {
        checking.count_down();
        release.wait();
    });
    auto answer = rig.requestLater("update-check");
    checking.wait();
    EXPECT_EQ(answer.wait_for(200ms), std::future_status::timeout);
    release.count_down();
    EXPECT_EQ(answer.get().value, TorvexVersion::current());
}

TEST(TorvexServiceTest, ReleasingTheServiceEndsItsApp) {
    ServiceRig rig;
    rig.install();
    rig.fake.behave("wine cmd", {.waitForSignal = true});
    const int app = rig.open();
    rig.server.reset();
    auto service = std::move(rig.service);
    rig.service = TorvexService::create(rig.paths);  // for the rig's own end
    std::weak_ptr<TorvexService> released = service;
    service.reset();
    // A conversation thread of the server may hold it a little longer.
    EXPECT_TRUE(eventually([&] { return released.expired(); }));
    EXPECT_TRUE(eventually([&] { return !alive(app); }));
}

// Builds and open through the build seam.

using Build = TorvexService::Build;
const BuildResult builtDemo{"/builds/out", "/builds/out/demo.exe"};

// A build that prints a line and runs a real `sleep` through the process runner, as the pipeline
// runs its tools, writing the sleep's pid to `pidFile`; like the pipeline it throws Cancelled when
// stopped.
Build sleepingBuild(const fs::path& pidFile) {
    return [pidFile](const BuildRequest&, const BuildPipeline::Output& output, std::stop_token stop) {
        output("compiling");
        const ProcessSpec sleep{"/bin/sh", {"-c", "echo $$ > " + testing::shellQuoted(pidFile.string()) + "; exec sleep 30"}, {}, {}};
        ProcessRunner::shared().run(sleep, [](const OutputLine&) {}, stop);
        if (stop.stop_requested()) throw Cancelled{};
        return builtDemo;
    };
}

// The pid a sleepingBuild wrote, once it is there (0 when it never is).
int sleepPid(const fs::path& pidFile) {
    int pid = 0;
    eventually([&] { return (pid = std::atoi(readFile(pidFile).c_str())) > 0; });
    return pid;
}

// How a client leaves a request early.
enum class Leaving { hangUp, secondLine };

// Sends `request` over a raw connection, waits for its first log line and for `ready`, then leaves
// as `leaving` says; answers the final message's error text, if one still arrived.
std::optional<std::string> leaveAfterFirstLine(const fs::path& socket, const IPCRequest& request, Leaving leaving,
                                               const std::function<void()>& ready = [] {}) {
    testing::RawClient client(socket);
    EXPECT_TRUE(client.readMessage());  // hello
    EXPECT_TRUE(client.write(encode(request) + "\n"));
    const auto first = client.readMessage();
    EXPECT_TRUE(first && first->type == IPCMessage::Kind::log);
    ready();
    if (leaving == Leaving::hangUp) {
        client.hangUp();
        return std::nullopt;
    }
    EXPECT_TRUE(client.write("stop\n"));
    while (const auto message = client.readMessage()) {
        if (message->type == IPCMessage::Kind::error) return message->what;
        if (message->type == IPCMessage::Kind::result) return "a result";
    }
    return std::nullopt;
}

TEST(TorvexServiceBuildTest, AFolderOutsideAProjectShowsItsNameThenThePipelinesErrorAndTheStatusComesBack) {
    for (const bool withSession : {false, true}) {
        SCOPED_TRACE(withSession ? "beside a running app" : "idle");
        ServiceRig rig;
        ServiceStatus before = ServiceStatus::idle();
        if (withSession) {
            rig.fake.behave("wine cmd", {.waitForSignal = true});
            rig.open();
            before = ServiceStatus::running("demo", "demo", false);
        }
        rig.setBuild([&rig](const BuildRequest& request, const BuildPipeline::Output& output, std::stop_token stop) {
            return BuildPipeline{rig.paths, output}.build(request, stop);
        });
        const fs::path loose = rig.temp / "not a project" / "loose";
        fs::create_directories(loose);

        const ServiceAnswer answer = rig.request("build", {.project = loose.string()});
        ASSERT_TRUE(answer.error);
        EXPECT_EQ(answer.error->what, testing::errorOf([&] { FlutterProject::discover(loose); }).what);
        EXPECT_EQ(rig.service->currentStatus(), before);
        rig.settleEvents();
        const auto statuses = rig.events.statuses();
        ASSERT_GE(statuses.size(), 2u);
        EXPECT_EQ(statuses[statuses.size() - 2], ServiceStatus::building("loose"));
        EXPECT_EQ(statuses.back(), before);
    }
}

TEST(TorvexServiceBuildTest, TheRequestsFlutterRootWinsEvenEmptyAndTheProjectNamesTheBuild) {
    ServiceRig rig;
    testing::OutputLines roots;  // the Flutter root of each build, "(none)" when absent
    rig.setBuild([sink = roots.sink()](const BuildRequest& request, const BuildPipeline::Output&, std::stop_token) {
        sink({OutputStreamKind::standardOutput, request.flutterRoot.value_or("(none)")});
        return builtDemo;
    });
    const std::string bundle = rig.demo().bundle.value();
    EXPECT_EQ(rig.request("build", {.bundle = bundle}).value, "/builds/out");
    rig.service->setFlutterRoot("/opt/flutter");
    EXPECT_EQ(rig.request("build", {.bundle = bundle}).value, "/builds/out");
    EXPECT_EQ(rig.request("build", {.bundle = bundle, .flutterRoot = ""}).value, "/builds/out");
    EXPECT_EQ(rig.request("build", {.bundle = bundle, .flutterRoot = "/sdk"}).value, "/builds/out");
    EXPECT_EQ(roots.texts(OutputStreamKind::standardOutput),
              (std::vector<std::string>{"(none)", "/opt/flutter", "", "/sdk"}));
    rig.settleEvents();
    for (const auto& status : rig.events.statuses()) {
        if (std::holds_alternative<ServiceStatus::Building>(status.state)) {
            EXPECT_EQ(status, ServiceStatus::building("demo")) << "the binary name of the bundle's project";
        }
    }
}

TEST(TorvexServiceBuildTest, AClientThatLeavesMidBuildEndsTheSleepAtOnceAndASecondLineHearsCancelled) {
    for (const Leaving leaving : {Leaving::hangUp, Leaving::secondLine}) {
        SCOPED_TRACE(leaving == Leaving::hangUp ? "hang-up" : "second line");
        ServiceRig rig;
        const fs::path pidFile = rig.temp / "sleep.pid";
        rig.setBuild(sleepingBuild(pidFile));
        const IPCRequest request("build", {.project = rig.project.string()});
        int pid = 0;
        const auto error =
            leaveAfterFirstLine(rig.server->socket(), request, leaving, [&] { pid = sleepPid(pidFile); });
        ASSERT_GT(pid, 0);
        const auto left = Clock::now();
        EXPECT_TRUE(eventually([&] { return !alive(pid); }, 3s));
        EXPECT_LT(Clock::now() - left, 1500ms) << "SIGTERM to the group, not SIGKILL 3 s later";
        if (leaving == Leaving::secondLine) {
            EXPECT_EQ(error, "Cancelled.");
        }
        EXPECT_TRUE(rig.waitForStatus(ServiceStatus::idle()));
    }
}

TEST(TorvexServiceBuildTest, TwoBuildsAtOnceBothSucceed) {
    ServiceRig rig;
    std::atomic<int> building = 0;
    rig.setBuild([&](const BuildRequest& request, const BuildPipeline::Output& output, std::stop_token) {
        output("building " + request.projectPath.filename().string());
        ++building;
        EXPECT_TRUE(eventually([&] { return building == 2; })) << "the two builds overlap";
        return builtDemo;
    });
    const fs::path other = rig.temp / "other";
    writeFile(other / "pubspec.yaml", "name: other\n");
    writeFile(other / "windows/CMakeLists.txt", "set(BINARY_NAME \"other\")\n");
    auto first = rig.requestLater("build", {.project = rig.project.string()});
    auto second = rig.requestLater("build", {.project = other.string()});
    for (auto& [answer, line] : {std::pair{first, "building demo"}, std::pair{second, "building other"}}) {
        const ServiceAnswer got = answer.get();
        EXPECT_EQ(got.value, "/builds/out");
        ASSERT_EQ(got.lines.size(), 1u);
        EXPECT_EQ(got.lines[0].text, line) << "each client hears its own build";
    }
    EXPECT_EQ(rig.service->currentStatus(), ServiceStatus::idle());
}

TEST(TorvexServiceBuildTest, OpenWithoutWineStreamsTheBuildThenTheWineError) {
    ServiceRig rig;
    rig.setBuild([](const BuildRequest&, const BuildPipeline::Output& output, std::stop_token) {
        output("compiling");
        output("linking");
        return builtDemo;
    });
    fs::remove(rig.fake.bin() / "wine");
    const ServiceAnswer answer = rig.request("open", {.project = rig.project.string()});
    ASSERT_EQ(answer.lines.size(), 2u);
    EXPECT_EQ(answer.lines[0].text, "compiling");
    EXPECT_EQ(answer.lines[1].text, "linking");
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->what, "Wine is not installed.");
    EXPECT_EQ(rig.service->currentStatus(), ServiceStatus::idle());
    EXPECT_EQ(rig.appStarts(), 0u);
}

TEST(TorvexServiceBuildTest, OpenThenStopEndsTheApp) {
    ServiceRig rig;
    rig.fake.behave("wine cmd", {.waitForSignal = true});
    const int app = rig.open();
    ASSERT_GT(app, 0);
    EXPECT_EQ(rig.service->currentStatus(), ServiceStatus::running("demo", "demo", false));
    const ServiceAnswer stopped = rig.request("stop");
    EXPECT_FALSE(stopped.error);
    EXPECT_FALSE(alive(app)) << "stop answers once the app has ended";
    EXPECT_EQ(rig.service->currentStatus(), ServiceStatus::idle());
}

TEST(TorvexServiceBuildTest, AnOpenWhoseClientLeftStartsNoAppEvenWhenItsBuildFinished) {
    for (const Leaving leaving : {Leaving::hangUp, Leaving::secondLine}) {
        SCOPED_TRACE(leaving == Leaving::hangUp ? "hang-up" : "second line");
        ServiceRig rig;
        rig.fake.behave("wine cmd", {.waitForSignal = true});
        std::atomic<bool> finished = false;
        // A build that completes just as its client leaves.
        rig.setBuild([&](const BuildRequest&, const BuildPipeline::Output& output, std::stop_token stop) {
            output("compiling");
            EXPECT_TRUE(eventually([&] { return stop.stop_requested(); }));
            finished = true;
            return builtDemo;
        });
        const auto error =
            leaveAfterFirstLine(rig.server->socket(), IPCRequest("open", {.project = rig.project.string()}), leaving);
        ASSERT_TRUE(eventually([&] { return finished.load(); }));
        if (leaving == Leaving::secondLine) {
            EXPECT_EQ(error, "Cancelled.");
        }
        EXPECT_TRUE(rig.waitForStatus(ServiceStatus::idle()));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(rig.appStarts(), 0u);
    }
}

} // namespace
} // namespace torvex
