#include "TorvexCLI/AppConnection.h"

#include "Service/UnixSocket.h"
#include "TorvexCLI/ExitStatus.h"
#include "TorvexCLI/Platform/ApplicationLauncher.h"
#include "support/FakeHost.h"
#include "support/IPCFixture.h"
#include "support/OtherUser.h"
#include "support/ScopedVariable.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

using namespace torvex;
using namespace torvex::cli;
using namespace torvex::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char** environ;

namespace {

// A connection inside `temp` whose launches are counted and do what `onLaunch` says.
AppConnection connectionIn(const TempDir& temp, std::shared_ptr<std::atomic<int>> launches,
                           std::function<void(const fs::path&)> onLaunch = {}) {
    const TorvexPaths paths{temp / "support", temp / "caches", temp / "logs"};
    return AppConnection{paths,
                         {{"TORVEX_SOCKET", (temp / "t.sock").string()}},
                         temp / "Torvex.app" / "Contents" / "MacOS" / "torvex",
                         5,
                         10ms,
                         [launches, onLaunch](const fs::path& bundle) -> std::optional<LaunchedHost> {
                             ++*launches;
                             if (onLaunch) onLaunch(bundle);
                             return std::nullopt;
                         }};
}

// The "key=value" lines of the stand-in host's record, once it is complete.
std::map<std::string, std::string> hostRecord(const fs::path& file) {
    EXPECT_TRUE(eventually([&] { return fs::exists(file); })) << file;
    std::map<std::string, std::string> record;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) record[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return record;
}

// Ends a stand-in host that the test did not start itself.
struct HostReaper {
    fs::path record;
    ~HostReaper() {
        std::ifstream in(record);
        std::string line;
        while (std::getline(in, line)) {
            if (line.starts_with("pid=")) ::kill(std::stoi(line.substr(4)), SIGKILL);
        }
    }
};

// A bundle in `folder` whose host is the stand-in.
fs::path standInBundle(const fs::path& folder) {
    const fs::path bundle = folder / "Torvex.app";
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::copy_file(STAND_IN_HOST, applicationHost(bundle));
    return bundle;
}

} // namespace

TEST(AppConnectionTest, TheBundleComesFromTheEnvironmentOrEnclosesTheProgram) {
    TempDir temp;
    const fs::path bundle = temp / "Torvex.app";
    fs::create_directories(bundle / "Contents" / "MacOS");
    writeFile(bundle / "Contents" / "MacOS" / "torvex", "");
    fs::create_directories(temp / "bin");
    fs::create_symlink(bundle / "Contents" / "MacOS" / "torvex", temp / "bin" / "torvex");
    const fs::path inside = bundle / "Contents" / "MacOS" / "torvex";
    struct Case {
        Environment environment;
        std::optional<fs::path> executable;
        std::optional<fs::path> expected;
    };
    const Case cases[] = {
        {{{"TORVEX_APP", "/opt/Other.app"}}, inside, fs::path("/opt/Other.app")},
        {{{"TORVEX_APP", "Relative.app"}}, std::nullopt, fs::current_path() / "Relative.app"},
        {{{"TORVEX_APP", ""}}, inside, bundle},  // empty counts as unset
        {{}, inside, bundle},
        {{}, temp / "bin" / "torvex", bundle},   // a link is followed to the program
        {{}, temp / "bin" / "other", std::nullopt},
        {{}, fs::path("/usr/local/bin/torvex"), std::nullopt},
        {{}, std::nullopt, std::nullopt},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(appBundle(test.environment, test.executable), test.expected)
            << test.executable.value_or("(none)") << " " << test.environment.size();
    }
}

TEST(AppConnectionTest, AnAnsweringServiceIsUsedWithoutLaunching) {
    TempDir temp;
    FakeHost host(temp / "t.sock");
    const auto launches = std::make_shared<std::atomic<int>>(0);
    const auto client = connectToApp(connectionIn(temp, launches));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->appVersion(), "0.1.0");
    EXPECT_EQ(*launches, 0);
}

TEST(AppConnectionTest, ALaunchedServiceIsWaitedFor) {
    TempDir temp;
    const auto launches = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<FakeHost> host;
    std::jthread starter;
    AppConnection connection = connectionIn(temp, launches, [&](const fs::path& bundle) {
        EXPECT_EQ(bundle, temp / "Torvex.app");
        starter = std::jthread([&] {
            std::this_thread::sleep_for(30ms);
            host = std::make_unique<FakeHost>(temp / "t.sock");
        });
    });
    connection.launchTries = 100;
    const auto client = connectToApp(connection);
    EXPECT_NE(client, nullptr);
    EXPECT_EQ(*launches, 1);
}

TEST(AppConnectionTest, NoBundleOrNoAnswerIsAppNotRunning) {
    TempDir temp;
    const auto launches = std::make_shared<std::atomic<int>>(0);
    AppConnection outside = connectionIn(temp, launches);
    outside.executable = temp / "bin" / "torvex";
    const TorvexError none = errorOf([&] { connectToApp(outside); });
    EXPECT_EQ(none.kind, TorvexError::Kind::appNotRunning);
    EXPECT_EQ(none.description(),
              "Torvex is not running.\n"
              "  Why: This torvex CLI is not inside Torvex.app, so it can't start it.\n"
              "  Fix: Use the torvex inside Torvex.app/Contents/MacOS, or set TORVEX_APP to that Torvex.app.");
    EXPECT_EQ(*launches, 0);

    const auto started = std::chrono::steady_clock::now();
    const TorvexError silent = errorOf([&] { connectToApp(connectionIn(temp, launches)); });
    EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);
    EXPECT_EQ(silent.kind, TorvexError::Kind::appNotRunning);
    EXPECT_EQ(silent.description(), "Torvex did not start.\n  Why: No answer on " + (temp / "t.sock").string() +
                                        " after 0.05 s.\n  Fix: Run " +
                                        (temp / "Torvex.app/Contents/MacOS/torvex-host").string() +
                                        " yourself to see why it does not answer.");
    EXPECT_EQ(*launches, 1);

    const TorvexError unstartable = errorOf([&] {
        connectToApp(connectionIn(temp, launches, [](const fs::path&) {
            throw std::system_error(ENOENT, std::generic_category(), "Could not start /x/torvex-host");
        }));
    });
    EXPECT_EQ(unstartable.kind, TorvexError::Kind::appNotRunning);
    EXPECT_EQ(unstartable.what, "Torvex did not start.");
    EXPECT_EQ(unstartable.why, "Could not start /x/torvex-host: No such file or directory.");
}

TEST(AppConnectionTest, AHostThatEndsBeforeItAnswersIsReportedAtOnce) {
    struct Case {
        const char* name;
        const char* script;  // the host: a shell script with its output in the log
        const char* why;     // "" for the usual wait of every try
        const char* fix;     // "<log>" stands for "See <the log>."
    };
    const Case cases[] = {
        {"its last error",
         R"(echo '{"event":"error","kind":1,"what":"Old.","why":"","fix":""}'
            echo '{"event":"config"}'
            echo '{"event":"error","kind":1,"what":"The Torvex socket path is too long.","why":"At most 103 bytes.","fix":"Set TORVEX_SOCKET."}'
            exit 1)",
         "The Torvex socket path is too long. At most 103 bytes.", "Set TORVEX_SOCKET."},
        {"an error with no fix", R"(echo '{"event":"error","what":"Could not open the Torvex socket."}'; exit 1)",
         "Could not open the Torvex socket.", "<log>"},
        {"no usable error", R"(echo 'not json'; echo '{"event":"error","what":7}'; exit 2)",
         "torvex-host exited with status 2.", "<log>"},
        {"a signal", "kill -9 $$", "torvex-host was ended by signal 9.", "<log>"},
        {"another host serves", "exit 0", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const fs::path log = temp / "host.log";
        AppConnection connection = connectionIn(temp, std::make_shared<std::atomic<int>>(0));
        const bool answersLate = std::string(c.why).empty();
        connection.launchTries = answersLate ? 50 : 1000;  // 0.5 s, or 10 s that must not be waited for
        connection.launch = [&](const fs::path&) -> std::optional<LaunchedHost> {
            const std::string command = std::string("exec >'") + log.string() + "' 2>&1\n" + c.script;
            const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
            pid_t pid = -1;
            EXPECT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
            return LaunchedHost{pid, log};
        };

        const auto started = std::chrono::steady_clock::now();
        const TorvexError error = errorOf([&] { connectToApp(connection); });
        EXPECT_EQ(error.kind, TorvexError::Kind::appNotRunning);
        EXPECT_EQ(error.what, "Torvex did not start.");
        if (answersLate) {
            EXPECT_TRUE(error.why.starts_with("No answer on ")) << error.why;
            continue;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "it waited for every try";
        EXPECT_EQ(error.why, c.why);
        EXPECT_EQ(error.fix, std::string(c.fix) == "<log>" ? "See " + log.string() + "." : std::string(c.fix));
    }
}

TEST(AppConnectionTest, AHelloThatDoesNotFitIsThrownAtOnce) {
    TempDir temp;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixSocket::address((temp / "t.sock").string());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    std::jthread server([listener] {
        const int fd = ::accept(listener, nullptr, nullptr);
        sendAll(fd, "{\"type\":\"hello\",\"version\":\"0.1.0\",\"protocolVersion\":2}\n");
        char byte;
        while (::read(fd, &byte, 1) > 0) {}
        ::close(fd);
    });
    const auto launches = std::make_shared<std::atomic<int>>(0);
    const TorvexError error = errorOf([&] { connectToApp(connectionIn(temp, launches)); });
    EXPECT_EQ(error.what, "Update Torvex.");
    EXPECT_EQ(*launches, 0);
    server.join();
    ::close(listener);
}

TEST(AppConnectionTest, AfterAnInterruptibleRequestTheSignalsAreIgnored) {
    TempDir temp;
    FakeHost host(temp / "t.sock");
    const auto launches = std::make_shared<std::atomic<int>>(0);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, SIG_DFL);
    const auto disposition = [](int signal) {
        struct sigaction action {};
        ::sigaction(signal, nullptr, &action);
        return action.sa_handler;
    };
    requestApp(connectionIn(temp, launches), "stop", {}, false);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(disposition(signal), SIG_DFL);
    requestApp(connectionIn(temp, launches), "build", {}, true);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(disposition(signal), SIG_IGN);
}

TEST(AppConnectionTest, ASignalDuringTheRequestHangsUpAndEndsWithStatusZero) {
    TempDir temp;
    FakeHost host(temp / "t.sock");
    host.reply("run", {.result = "3", .waitForHangUp = true});
    const auto launches = std::make_shared<std::atomic<int>>(0);
    std::jthread interrupter([&] {
        if (host.waitForRequests(1)) ::kill(::getpid(), SIGTERM);
    });
    try {
        requestApp(connectionIn(temp, launches), "run", {.appName = "demo"}, true);
        ADD_FAILURE() << "the request returned";
    } catch (const ExitCode& exit) {
        EXPECT_EQ(exit.status, 0);
    }
    EXPECT_TRUE(host.waitForHangUps(1));
}

TEST(AppConnectionTest, TheLaunchedHostIsDetachedFromTheCaller) {
    TempDir temp;
    const fs::path bundle = standInBundle(temp.path());
    const fs::path log = temp / "logs" / "torvex-host.log";
    writeFile(log, "an earlier host's output\n");
    ::setenv("STAND_IN_HOST_RECORD", (temp / "record").c_str(), 1);
    ::setenv("STAND_IN_HOST_MARKER", "from the caller", 1);
    const pid_t pid = launchApplication(bundle, log, 20s);
    ::unsetenv("STAND_IN_HOST_RECORD");
    ::unsetenv("STAND_IN_HOST_MARKER");
    EXPECT_EQ(exitStatusWithin(pid, std::chrono::seconds(20)), 0);

    const auto record = hostRecord(temp / "record");
    EXPECT_EQ(record.at("pid"), std::to_string(pid));
    EXPECT_EQ(record.at("sid"), std::to_string(pid));  // a session of its own, without our terminal
    EXPECT_EQ(record.at("stdin"), "/dev/null");
    EXPECT_EQ(record.at("stdout"), log.string());
    EXPECT_EQ(record.at("stderr"), log.string());
    EXPECT_EQ(record.at("fds"), "0,1,2,3");  // 3: where it announces that it serves
    EXPECT_EQ(record.at("marker"), "from the caller");
    EXPECT_EQ(readFile(log), "stand-in host output\nstand-in host errors\n");
}

TEST(AppConnectionTest, ALaunchThatCannotHappenSaysWhy) {
    TempDir temp;
    fs::create_directories(temp / "Empty.app");
    EXPECT_THROW(launchApplication(temp / "Empty.app", temp / "logs" / "torvex-host.log", 20s), std::system_error);
    const fs::path bundle = standInBundle(temp.path());
    fs::create_directories(temp / "folder.log");
    EXPECT_THROW(launchApplication(bundle, temp / "folder.log", 20s), fs::filesystem_error);
    ASSERT_EQ(::mkfifo((temp / "fifo.log").c_str(), 0600), 0);
    EXPECT_THROW(launchApplication(bundle, temp / "fifo.log", 20s), fs::filesystem_error);  // and does not wait for a reader
}

TEST(AppConnectionTest, AutoLaunchFromABundleLeavesTheCallersPipesToIt) {
    // A bundle copy of torvex whose host (the stand-in) starts serving after a while and lives on.
    TempDir temp;
    const fs::path bundle = standInBundle(temp.path());
    fs::copy_file(builtTorvex(), bundle / "Contents" / "MacOS" / "torvex");
    TorvexProgram torvex(temp.path());
    torvex.program = bundle / "Contents" / "MacOS" / "torvex";
    torvex.environment.erase("TORVEX_APP");
    torvex.environment["STAND_IN_HOST_RECORD"] = (temp / "record").string();
    torvex.environment["STAND_IN_HOST_SERVE_AFTER_MS"] = "300";
    torvex.environment["STAND_IN_HOST_LINGER_MS"] = "20000";
    const HostReaper reaper{temp / "record"};

    int pipeFDs[2];
    ASSERT_EQ(::pipe2(pipeFDs, O_CLOEXEC), 0);
    const pid_t pid = torvex.start({"stop"}, pipeFDs[1]);
    ::close(pipeFDs[1]);

    // The pipe ends when torvex does, although the host it launched still runs.
    const auto output = readToEnd(pipeFDs[0], 20s);
    ::close(pipeFDs[0]);
    EXPECT_EQ(exitStatusWithin(pid, output ? std::chrono::seconds(20) : std::chrono::seconds(0)), 0);
    ASSERT_TRUE(output) << "the pipe stayed open";
    EXPECT_EQ(*output, "");

    const auto record = hostRecord(temp / "record");
    EXPECT_EQ(::kill(std::stoi(record.at("pid")), 0), 0) << "the host ended with torvex";
    EXPECT_EQ(record.at("stdout"), (torvex.logs() / "torvex-host.log").string());
    EXPECT_EQ(readFile(torvex.logs() / "torvex-host.log"), "stand-in host output\nstand-in host errors\n");
}

TEST(AppConnectionTest, TheLaunchReturnsOnceTheHostServesOrEnds) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> host;  // the stand-in's variables
        std::chrono::milliseconds atLeast, below;  // how long the launch took
        bool serves;
    };
    const Case cases[] = {
        {"serves after 300 ms", {{"STAND_IN_HOST_SERVE_AFTER_MS", "300"}, {"STAND_IN_HOST_LINGER_MS", "20000"}}, 300ms,
         5s, true},
        {"ends at once", {}, 0ms, 5s, false},
        {"never serves", {{"STAND_IN_HOST_LINGER_MS", "20000"}}, 1s, 5s, false},  // the patience
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const fs::path bundle = standInBundle(temp.path());
        const fs::path socket = temp / "t.sock";
        const HostReaper reaper{temp / "record"};
        std::map<std::string, std::string> variables = c.host;
        variables["TORVEX_SOCKET"] = socket.string();
        variables["STAND_IN_HOST_RECORD"] = (temp / "record").string();
        for (const auto& [name, value] : variables) ::setenv(name.c_str(), value.c_str(), 1);
        const auto started = std::chrono::steady_clock::now();
        const pid_t pid = launchApplication(bundle, temp / "host.log", 1s);
        const auto took = std::chrono::steady_clock::now() - started;
        for (const auto& [name, value] : variables) ::unsetenv(name.c_str());

        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
        // Serving, it answers the very first try.
        EXPECT_EQ(IPCClient::connect(socket) != nullptr, c.serves);
        ::kill(pid, SIGKILL);
        exitStatusWithin(pid, 20s);
    }
}

TEST(AppConnectionTest, ALaunchedHostThatNeverAnswersIsEnded) {
    struct Case {
        const char* name;
        const char* script;  // the host
        bool listens;        // the test accepts on the socket and never says hello
    };
    const Case cases[] = {
        {"ends on SIGTERM", "exec sleep 30", false},
        {"ignores SIGTERM", "trap '' TERM; exec sleep 30", false},
        {"accepts and never says hello", "exec sleep 30", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        int listener = -1;
        pid_t pid = -1;
        AppConnection connection = connectionIn(temp, std::make_shared<std::atomic<int>>(0));
        connection.launchTries = 10;
        connection.launchInterval = 30ms;
        connection.launch = [&](const fs::path&) -> std::optional<LaunchedHost> {
            if (c.listens) {
                listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_un address = UnixSocket::address((temp / "t.sock").string());
                EXPECT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
                EXPECT_EQ(::listen(listener, 200), 0);
            }
            const char* argv[] = {"/bin/sh", "-c", c.script, nullptr};
            EXPECT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
            return LaunchedHost{pid, temp / "host.log"};
        };
        const auto started = std::chrono::steady_clock::now();
        const TorvexError error = errorOf([&] { connectToApp(connection); });
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
        EXPECT_EQ(error.what, "Torvex did not start.");
        EXPECT_TRUE(error.why.starts_with("No answer on ")) << error.why;
        errno = 0;
        EXPECT_EQ(::kill(pid, 0), -1) << "the host still runs";
        EXPECT_EQ(errno, ESRCH) << "and was reaped";
        if (listener >= 0) ::close(listener);
    }
}

TEST(AppConnectionTest, TheRealHostAnnouncesOnItsReadyDescriptorAndASecondOnItsStateShowsItsRefusal) {
    TempDir temp;
    const fs::path support = temp / "support", first = temp / "t.sock", second = temp / "u.sock";
    const ScopedVariable variables[] = {
        {"TORVEX_SUPPORT_DIR", support.string()},       {"TORVEX_CACHES_DIR", (temp / "caches").string()},
        {"TORVEX_LOGS_DIR", (temp / "logs").string()},  {"TORVEX_WINE_BIN", "/usr/bin"},
        {"HOME", (temp / "home").string()},
    };
    std::optional<ScopedVariable> socket;
    socket.emplace("TORVEX_SOCKET", first.string());
    const fs::path bundle = builtBundle();
    const pid_t host = launchApplication(bundle, temp / "logs" / "first.log", 20s);
    // Every host this test starts ends with it, also a second one that serves when it should refuse.
    struct Ender {
        std::vector<pid_t> pids;
        ~Ender() {
            for (const pid_t pid : pids) {
                // Only a child that has not been reaped (the launcher reaps one that ended) is still ours.
                int status = 0;
                if (::waitpid(pid, &status, WNOHANG) != 0) continue;
                ::kill(pid, SIGTERM);
                exitStatusWithin(pid, 20s);
            }
        }
    } ender{{host}};
    EXPECT_NE(IPCClient::connect(first), nullptr) << "it serves once it said so: " << readFile(temp / "logs" / "first.log");

    // torvex with another socket, on the same state, launches a host of its own, which refuses.
    socket.emplace("TORVEX_SOCKET", second.string());
    AppConnection connection{TorvexPaths{support, temp / "caches", temp / "logs"},
                             {{"TORVEX_SOCKET", second.string()}},
                             bundle / "Contents" / "MacOS" / "torvex",
                             1000,
                             10ms,
                             {}};
    const fs::path log = temp / "logs" / "second.log";
    connection.launch = [&](const fs::path& launched) {
        const pid_t second = launchApplication(launched, log, 10s);
        ender.pids.push_back(second);
        return std::optional<LaunchedHost>(LaunchedHost{second, log});
    };
    const auto started = std::chrono::steady_clock::now();
    const TorvexError error = errorOf([&] { connectToApp(connection); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "it waited for every try";
    EXPECT_EQ(error.what, "Torvex did not start.");
    EXPECT_EQ(error.why, "Another Torvex host serves this state. torvex-host (pid " + std::to_string(host) +
                             ") already serves " + support.string() + " on " + first.string() +
                             "; a second host on the same state would lose the first one's changes.");
    EXPECT_EQ(error.fix, "Use that host with TORVEX_SOCKET=" + first.string() + ", or end it with `kill " +
                             std::to_string(host) + "` and try again.");
    EXPECT_NE(IPCClient::connect(first), nullptr) << "the first host still serves";
}

TEST(AppConnectionTest, AnotherUsersSocketAtThePathIsNamedNotTakenForNoHost) {
    if (!OtherUser::available()) GTEST_SKIP() << "needs root to act as another user";
    TempDir temp;
    const fs::path shared = temp / "shared";
    fs::create_directories(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    OtherUser::letThrough(shared);
    const fs::path path = shared / "t.sock";
    // Nothing serves it any more, or this user may not connect: either way no host answers there.
    const sockaddr_un address = UnixSocket::address(path.string());
    OtherUser nobody([&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::umask(077);
        return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : 1;
    });
    ASSERT_EQ(nobody.wait(), 0);

    const auto launches = std::make_shared<std::atomic<int>>(0);
    AppConnection connection = connectionIn(temp, launches);
    connection.environment["TORVEX_SOCKET"] = path.string();
    for (const auto& connect : {connectIfRunning, connectToApp}) {
        const TorvexError error = errorOf([&] { connect(connection); });
        EXPECT_EQ(error.kind, TorvexError::Kind::appNotRunning);
        EXPECT_EQ(error.what, "Another user's socket is in the way.");
        EXPECT_NE(error.why.find("nobody, uid 65534"), std::string::npos) << error.why;
    }
    EXPECT_EQ(*launches, 0);
}
