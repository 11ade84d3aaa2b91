// The parts of torvex-host that work without the service: the host lock, the event printer, the
// app window capture and the process set-up.

#include "TorvexHost/AppWindowCapture.h"
#include "TorvexHost/ControlReader.h"
#include "TorvexHost/EventPrinter.h"
#include "TorvexHost/HostEvents.h"
#include "TorvexHost/HostLock.h"
#include "TorvexHost/HostProcess.h"
#include "TorvexHost/ScreenshotFile.h"

#include "Core/TorvexError.h"
#include "Service/IPCServer.h"
#include "Service/UnixSocket.h"
#include "support/Pipe.h"
#include "support/DecodedPNG.h"
#include "support/OtherUser.h"
#include "support/Eventually.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"
#include "support/TestWindows.h"
#include "support/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <csignal>
#include <sstream>
#include <thread>

using namespace torvex;
using namespace torvex::host;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The lines written to a pipe's far end until it is closed.
std::vector<nlohmann::json> jsonLines(const std::string& bytes) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

std::string readAll(int fd) {
    std::string bytes;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

// Whether a child of this process could take a lock (a lock held by this process would not stop a
// second try from within it: flock belongs to the open file, not the process).
bool anotherProcessGets(const std::function<bool()>& lock) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(lock() ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool anotherProcessGetsTheLock(const fs::path& socket) {
    return anotherProcessGets([&] { return HostLock::acquire(socket).has_value(); });
}

} // namespace

TEST(HostLockTest, MakesThePrivateFolderHoldsThePidAndExcludesOtherHosts) {
    const TempDir temp;
    const fs::path socket = temp / "a" / "b" / "torvex.sock";
    {
        const auto lock = HostLock::acquire(socket);
        ASSERT_TRUE(lock);
        for (const fs::path& folder : {temp / "a", temp / "a" / "b"}) {
            struct stat info {};
            ASSERT_EQ(::stat(folder.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
        }
        EXPECT_EQ(readFile(temp / "a" / "b" / "torvex.sock.lock"), std::to_string(::getpid()) + "\n");
        EXPECT_EQ(HostLock::holder(socket), ::getpid());
        EXPECT_FALSE(anotherProcessGetsTheLock(socket));
    }
    EXPECT_TRUE(anotherProcessGetsTheLock(socket)) << "released with its holder";
    EXPECT_EQ(HostLock::holder(temp / "nowhere.sock"), std::nullopt);
}

TEST(HostLockTest, OneHostPerStateWhateverItsSocket) {
    const TempDir temp;
    const fs::path support = temp / "Application Support";
    {
        const auto lock = HostLock::acquireState(support, temp / "a.sock");
        ASSERT_TRUE(lock);
        EXPECT_EQ(readFile(support / "torvex-host.lock"), std::to_string(::getpid()) + "\n" + (temp / "a.sock").string() + "\n");
        const auto holder = HostLock::stateHolder(support);
        ASSERT_TRUE(holder);
        EXPECT_EQ(holder->pid, ::getpid());
        EXPECT_EQ(holder->socket, temp / "a.sock");
        EXPECT_FALSE(anotherProcessGets([&] { return HostLock::acquireState(support, temp / "b.sock").has_value(); }));
        EXPECT_TRUE(anotherProcessGets([&] { return HostLock::acquireState(temp / "other", temp / "b.sock").has_value(); }))
            << "another state has a host of its own";
    }
    EXPECT_TRUE(anotherProcessGets([&] { return HostLock::acquireState(support, temp / "b.sock").has_value(); }))
        << "released with its holder";
    fs::remove(support / "torvex-host.lock");
    fs::create_symlink(temp / "elsewhere", support / "torvex-host.lock");
    const TorvexError error = errorOf([&] { HostLock::acquireState(support, temp / "a.sock"); });
    EXPECT_EQ(error.what, "Could not lock the Torvex state.");
    EXPECT_EQ(error.why, (support / "torvex-host.lock").string() + " is a symbolic link, which Torvex does not follow.");
    EXPECT_FALSE(fs::exists(temp / "elsewhere"));
}

TEST(HostLockTest, AFolderLinkThatAnotherUserPlantedGetsNoLockAndItsLiveSocketStays) {
    if (!OtherUser::available()) GTEST_SKIP() << "needs root to act as another user";
    const TempDir temp;
    const fs::path shared = temp / "shared", own = temp / "private";
    fs::create_directories(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    fs::create_directories(own);
    // Another program of the victim serves a socket of the same name in the victim's own folder.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = UnixSocket::address((own / "t.sock").string());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    OtherUser::letThrough(shared);
    const std::string link = (shared / "sock").string(), target = own.string();
    OtherUser nobody([&] { return ::symlink(target.c_str(), link.c_str()) == 0 ? 0 : 1; });
    ASSERT_EQ(nobody.wait(), 0);

    const fs::path socket = shared / "sock" / "t.sock";
    const TorvexError error = errorOf([&] { HostLock::acquire(socket); });
    EXPECT_EQ(error.what, "The folder of the Torvex socket is not safe.");
    EXPECT_EQ(error.why, link + " is a link of another user (uid 65534), which Torvex does not follow.");
    IPCServer server(socket, [](const IPCRequest&, const std::shared_ptr<IPCConnection>&, std::stop_token) {});
    EXPECT_EQ(errorOf([&] { server.start(); }).what, "The folder of the Torvex socket is not safe.");
    server.stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(own / "t.sock.lock"))) << "no lock was made through the link";
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << "its socket stays";
    ::close(client);
    ::close(listener);
}

TEST(HostLockTest, AFolderThatCannotBeMadeIsAnErrorThatNamesIt) {
    const TempDir temp;
    writeFile(temp / "file", "a file where a folder must be");
    const TorvexError error = errorOf([&] { HostLock::acquire(temp / "file" / "torvex.sock"); });
    EXPECT_EQ(error.what, "Could not create the folder of the Torvex socket.");
    EXPECT_NE(error.why.find((temp / "file").string()), std::string::npos) << error.why;
    EXPECT_NE(error.fix.find("TORVEX_SOCKET"), std::string::npos) << error.fix;
}

TEST(HostLockTest, AFolderOthersCouldWriteToOrAPlantedLockFileIsRefusedAndLeftAlone) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder, const fs::path& lock, const fs::path& victim)> plant;
        std::string why;  // a part of the error's cause; empty: the lock is taken
        bool needsRoot = false;
    };
    const auto mode = [](const fs::path& path, mode_t bits) { ASSERT_EQ(::chmod(path.c_str(), bits), 0); };
    const auto owner = [](const fs::path& path, uid_t user, gid_t group) {
        ASSERT_EQ(::lchown(path.c_str(), user, group), 0);
    };
    const std::vector<Case> cases = {
        {"writable by all", [&](auto& folder, auto&, auto&) { mode(folder, 0777); }, "Other users may write to "},
        {"writable by all and sticky, as /tmp", [&](auto& folder, auto&, auto&) { mode(folder, 01777); }, ""},
        {"a link to the user's own file",
         [&](auto& folder, auto& lock, auto& victim) {
             mode(folder, 01777);
             fs::create_symlink(victim, lock);
         },
         ".lock is a symbolic link, which Torvex does not follow."},
        {"a hard link to the user's own file",
         [&](auto& folder, auto& lock, auto& victim) {
             mode(folder, 01777);
             fs::create_hard_link(victim, lock);
         },
         ".lock has other names (hard links)"},
        {"a FIFO", [](auto&, auto& lock, auto&) { ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0); },
         ".lock is a FIFO (named pipe), not a lock file."},
        {"writable by a group of others", [&](auto& folder, auto&, auto&) {
             owner(folder, -1, 100);  // "users"
             mode(folder, 0770);
         }, "Other users may write to ", true},
        {"writable by the owner's own group", [&](auto& folder, auto&, auto&) { mode(folder, 0770); }, "", true},
        {"another user's folder", [&](auto& folder, auto&, auto&) { owner(folder, 65534, 65534); },
         " belongs to another user (uid 65534)", true},
        {"another user's lock file",
         [&](auto& folder, auto& lock, auto&) {
             mode(folder, 01777);
             writeFile(lock, "");
             owner(lock, 65534, 65534);
         },
         ".lock belongs to another user (uid 65534).", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) continue;  // chown needs root
        const TempDir temp;
        const fs::path folder = temp / "shared";
        fs::create_directory(folder);
        const fs::path socket = folder / "t.sock";
        const fs::path victim = temp / "victim";
        writeFile(victim, "precious\n");
        c.plant(folder, HostLock::file(socket), victim);
        if (c.why.empty()) {
            EXPECT_TRUE(HostLock::acquire(socket));
            EXPECT_EQ(readFile(HostLock::file(socket)), std::to_string(::getpid()) + "\n");
            continue;
        }
        const TorvexError error = errorOf([&] { HostLock::acquire(socket); });
        EXPECT_TRUE(error.what == "The folder of the Torvex socket is not safe." ||
                    error.what == "Could not lock the Torvex socket.")
            << error.what;
        EXPECT_NE(error.why.find(c.why), std::string::npos) << error.why;
        EXPECT_NE(error.fix.find("TORVEX_SOCKET"), std::string::npos) << error.fix;
        EXPECT_EQ(readFile(victim), "precious\n");
    }
}

TEST(EventPrinterTest, PrintsOneJSONLinePerEventInOrderAndEndsWhenFinished) {
    Pipe pipe;
    {
        EventPrinter printer(pipe.write);
        std::vector<std::jthread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&printer, t] {
                for (int i = 0; i < 250; ++i) printer.print({{"event", "log"}, {"thread", t}, {"n", i}});
            });
        }
        writers.clear();
        printer.print({{"event", "notice"}, {"text", "bad \xff byte, a \"quote\" and a\nline feed"}});
        EXPECT_TRUE(printer.finish(5s));
        printer.print({{"event", "late"}});  // ignored
    }
    pipe.closeWrite();
    const auto lines = jsonLines(readAll(pipe.read));
    ASSERT_EQ(lines.size(), 1001u);
    std::vector<int> next(4, 0);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const int t = lines[i]["thread"];
        EXPECT_EQ(lines[i]["n"], next[t]++) << "each writer's lines keep their order";
    }
    EXPECT_EQ(lines.back()["text"], "bad \xef\xbf\xbd byte, a \"quote\" and a\nline feed");
}

TEST(EventPrinterTest, AReaderThatStopsReadingNeitherBlocksPrintNorFinish) {
    Pipe pipe;
    EventPrinter printer(pipe.write, 1024 * 1024);
    const std::string text(64 * 1024, 'x');
    // Far more than the pipe and the queue hold: print() still returns every time.
    for (int i = 0; i < 100; ++i) printer.print({{"event", "log"}, {"text", text}});
    EXPECT_FALSE(printer.finish(200ms));

    // Once the reader reads again, what was dropped is counted.
    std::string bytes;
    char buffer[65536];
    while (bytes.find("\"event\":\"error\"") == std::string::npos) {
        const ssize_t n = ::read(pipe.read, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string tail = bytes.substr(bytes.rfind('\n', bytes.size() - 2) + 1);
    const auto error = nlohmann::json::parse(tail);
    EXPECT_EQ(error["event"], "error");
    EXPECT_TRUE(error["what"].get<std::string>().ends_with(" host events were not printed.")) << error;
}

TEST(EventPrinterTest, TheLastLineOfFinishIsTheLastPrintedWhateverComesLater) {
    Pipe pipe;
    auto output = std::async(std::launch::async, [&] { return readAll(pipe.read); });
    std::atomic<bool> printing = true;
    {
        EventPrinter printer(pipe.write);
        // Events still arriving from other threads while the printer finishes, and after.
        std::jthread events([&] {
            for (int n = 0; printing; ++n) printer.print({{"event", "status"}, {"n", n}});
        });
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(printer.finish(5s, nlohmann::ordered_json{{"event", "stopped"}, {"signal", "SIGTERM"}}));
        std::this_thread::sleep_for(20ms);
        printing = false;
    }
    pipe.closeWrite();
    const auto lines = jsonLines(output.get());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), nlohmann::json::parse(R"({"event":"stopped","signal":"SIGTERM"})"));
}

TEST(EventPrinterTest, TheCountOfDroppedEventsComesBeforeTheLastLine) {
    Pipe pipe;
    EventPrinter printer(pipe.write, 256 * 1024);
    const std::string text(64 * 1024, 'x');
    for (int i = 0; i < 100; ++i) printer.print({{"event", "log"}, {"text", text}});  // most are dropped
    EXPECT_FALSE(printer.finish(200ms, nlohmann::ordered_json{{"event", "stopped"}}));

    std::string bytes;
    char buffer[65536];
    while (bytes.find("{\"event\":\"stopped\"}\n") == std::string::npos) {
        const ssize_t n = ::read(pipe.read, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    const auto lines = jsonLines(bytes);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), nlohmann::json::parse(R"({"event":"stopped"})"));
    const auto& error = lines[lines.size() - 2];
    EXPECT_EQ(error["event"], "error");
    EXPECT_TRUE(error["what"].get<std::string>().ends_with(" host events were not printed.")) << error;
}

TEST(EventPrinterTest, AFileThatCannotBeCutBackSaysSoOnceAndGrowsNoFurther) {
    // A file that may grow but never shrink, as one whose ftruncate fails.
    const int fd = ::memfd_create("host.log", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_GE(fd, 0);
    const std::string earlier = "an earlier line\n";
    ASSERT_EQ(::write(fd, earlier.data(), earlier.size()), static_cast<ssize_t>(earlier.size()));
    ASSERT_EQ(::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK), 0);
    constexpr std::size_t bound = 4096;
    {
        EventPrinter printer(fd, EventPrinter::defaultMaxQueuedBytes, bound);
        for (int n = 0; n < 1000; ++n) printer.print({{"event", "log"}, {"n", n}, {"text", std::string(80, 'x')}});
        EXPECT_TRUE(printer.finish(5s, nlohmann::ordered_json{{"event", "stopped"}}));
    }
    std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    ASSERT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ::close(fd);

    EXPECT_TRUE(bytes.starts_with(earlier));
    const auto lines = jsonLines(bytes.substr(earlier.size()));
    std::vector<nlohmann::json> reports;
    for (const auto& line : lines) {
        EXPECT_NE(line["event"], "notice") << "nothing was removed: " << line;
        if (line["event"] == "error") reports.push_back(line);
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["what"], "The host's log file could not be cut back.");
    EXPECT_TRUE(reports[0]["why"].get<std::string>().starts_with("ftruncate failed: ")) << reports[0];
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["event"], "stopped") << "the last line is written past the bound";
    const std::size_t stopped = lines.back().dump().size() + 1;
    EXPECT_LE(bytes.size(), earlier.size() + bound + reports[0].dump().size() + 1 + stopped) << "no line past the bound";
}

TEST(EventPrinterTest, AFileHoldsABoundedPartOfTheEventsAndKeepsWhatWasThereBefore) {
    const TempDir temp;
    const fs::path file = temp / "host.log";
    writeFile(file, "an earlier line\n");
    constexpr std::size_t bound = 4096;
    {
        const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EventPrinter printer(fd, EventPrinter::defaultMaxQueuedBytes, bound);
        for (int n = 0; n < 1000; ++n) printer.print({{"event", "log"}, {"n", n}, {"text", std::string(80, 'x')}});
        EXPECT_TRUE(printer.finish(5s, nlohmann::ordered_json{{"event", "stopped"}}));
        ::close(fd);
    }
    const std::string bytes = readFile(file);
    EXPECT_TRUE(bytes.starts_with("an earlier line\n"));
    EXPECT_LE(bytes.size(), std::string("an earlier line\n").size() + bound);
    const auto lines = jsonLines(bytes.substr(bytes.find('\n') + 1));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front()["event"], "notice");
    EXPECT_TRUE(lines.front()["text"].get<std::string>().starts_with("Earlier events were removed")) << lines.front();
    EXPECT_EQ(lines[lines.size() - 2]["n"], 999) << "the latest events stay";
    EXPECT_EQ(lines.back()["event"], "stopped");
}

TEST(EventPrinterTest, AReaderThatWentAwayCostsNothing) {
    const auto previous = ::signal(SIGPIPE, SIG_IGN);  // as the host does
    Pipe pipe;
    ::close(pipe.read);
    pipe.read = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EventPrinter printer(pipe.write);
    for (int i = 0; i < 1000; ++i) printer.print({{"event", "log"}, {"n", i}});
    EXPECT_TRUE(printer.finish(5s));
    ::signal(SIGPIPE, previous);
}

namespace {

// A ControlReader over a pipe, with its answers printed to another pipe.
struct ControlRig {
    Pipe input;
    Pipe output;
    std::shared_ptr<EventPrinter> printer = std::make_shared<EventPrinter>(output.write);
    std::optional<ControlReader> reader;

    explicit ControlRig(ControlReader::Runner runner) { reader.emplace(input.read, std::move(runner), printer); }

    void send(const std::string& bytes) { ASSERT_EQ(::write(input.write, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // The next `count` answer lines, in the order they came.
    std::vector<nlohmann::json> answers(std::size_t count) {
        std::vector<nlohmann::json> lines;
        while (lines.size() < count) {
            std::string line;
            char byte = 0;
            while (::read(output.read, &byte, 1) == 1 && byte != '\n') line += byte;
            if (line.empty()) break;
            lines.push_back(nlohmann::json::parse(line));
        }
        return lines;
    }
};

} // namespace

TEST(ControlReaderTest, AnswersEveryLineAndRunsCommandsSideBySide) {
    std::atomic<bool> released = false;
    ControlRig rig([&](const std::string& command, const nlohmann::json& arguments, std::stop_token stop) {
        if (command == "wait") {
            while (!released && !stop.stop_requested()) std::this_thread::sleep_for(10ms);
            return nlohmann::ordered_json{{"waited", true}};
        }
        if (command == "fail") throw TorvexError(TorvexError::Kind::usage, "No profile named x.", "", "Run it.");
        if (command == "cancel") throw Cancelled{};
        if (command == "crash") throw std::runtime_error("boom");
        return nlohmann::ordered_json{{"echo", arguments.value("project", "")}};
    });
    rig.send(R"({"command":"wait","id":1})" "\n");
    rig.send(R"({"command":"open","id":"two","project":"/a b/\"c\""})" "\r\n\n   \n");
    rig.send(R"({"command":"fail"})" "\n" R"({"command":"cancel"})" "\n" R"({"command":"crash"})" "\n");
    rig.send("not json\n[1,2]\n" R"({"id":7})" "\n" + std::string(ControlReader::maxLineBytes + 10, 'x') + "\n");
    rig.send(R"({"command":"open","project":"after the long line"})" "\n");

    auto lines = rig.answers(9);
    released = true;
    const auto last = rig.answers(1);
    ASSERT_EQ(lines.size(), 9u);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0], nlohmann::json::parse(R"({"answer":"wait","id":1,"ok":true,"waited":true})"))
        << "a waiting command holds up none of the others";

    std::map<std::string, nlohmann::json> byWord;
    std::vector<std::string> usageWhats;
    for (const auto& line : lines) {
        if (line.contains("answer")) byWord[line["answer"].get<std::string>() + line.value("id", nlohmann::json()).dump()] = line;
        else usageWhats.push_back(line["error"]["what"]);
    }
    EXPECT_EQ(byWord["open\"two\""], nlohmann::json::parse(R"({"answer":"open","id":"two","ok":true,"echo":"/a b/\"c\""})"));
    EXPECT_EQ(byWord["failnull"], nlohmann::json::parse(R"({"answer":"fail","ok":false,"error":
                                        {"kind":2,"what":"No profile named x.","why":"","fix":"Run it."}})"));
    EXPECT_EQ(byWord["cancelnull"]["error"]["what"], "Cancelled.");
    EXPECT_EQ(byWord["crashnull"]["error"]["what"], "Torvex failed.");
    EXPECT_EQ(byWord["crashnull"]["error"]["why"], "boom");
    std::sort(usageWhats.begin(), usageWhats.end());
    EXPECT_EQ(usageWhats, (std::vector<std::string>{"The control command is not a JSON object.",
                                                    "The control command is not a JSON object.",
                                                    "The control command is too long.",
                                                    "The control command names no command."}));
    EXPECT_EQ(byWord["opennull"]["echo"], "after the long line") << "reading goes on after a line that is too long";
}

TEST(ControlReaderTest, StopEndsTheReadingAndCancelsRunningCommandsWithinItsPatience) {
    std::atomic<int> started = 0, cancelled = 0;
    std::atomic<bool> stubborn = false;
    ControlRig rig([&](const std::string&, const nlohmann::json&, std::stop_token stop) {
        ++started;
        while (!stop.stop_requested()) std::this_thread::sleep_for(5ms);
        ++cancelled;
        while (stubborn) std::this_thread::sleep_for(5ms);
        throw Cancelled{};
        return nlohmann::ordered_json{};
    });
    rig.send(R"({"command":"open"})" "\n" R"({"command":"open"})" "\n");
    ASSERT_TRUE(eventually([&] { return started == 2; }));
    EXPECT_TRUE(rig.reader->stop(5s));
    EXPECT_EQ(cancelled, 2);
    const auto lines = rig.answers(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["error"]["what"], "Cancelled.");

    // A command that does not heed the stop is left behind once the patience runs out.
    started = 0;
    ControlRig late([&](const std::string&, const nlohmann::json&, std::stop_token) {
        ++started;
        while (stubborn) std::this_thread::sleep_for(5ms);
        return nlohmann::ordered_json{};
    });
    stubborn = true;
    late.send(R"({"command":"open"})" "\n");
    ASSERT_TRUE(eventually([&] { return started == 1; }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(late.reader->stop(200ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    stubborn = false;
    EXPECT_EQ(late.answers(1).size(), 1u) << "it still answers once it ends";
}

TEST(AppWindowCaptureTest, TakesTheAppsWindowElseTheLargestAndExplainsWhatIsMissing) {
    EXPECT_EQ(errorOf([] { captureAppWindow("hello", {{"DISPLAY", ""}}); }).what, "Screen capture is not available.");

    auto display = VirtualDisplay::start();
    if (!display) GTEST_SKIP() << "Xvfb is not installed";
    ::setenv("DISPLAY", display->name().c_str(), 1);
    const Environment environment{{"DISPLAY", display->name()}};
    {
        const TorvexError error = errorOf([&] { captureAppWindow("hello", environment); });
        EXPECT_EQ(error.what, "No Torvex window to capture.");
        EXPECT_EQ(error.why, "No window of hello is shown on the X display " + display->name() + ".");
    }

    // "late" is made at once but shown only after a while, as an app's window just after its start.
    const TestWindows windows(TestWindows::wineProgram(), display->name(),
                              {"x=10,y=10,w=900,h=700,title=other", "x=20,y=20,w=640,h=480,title=hello",
                               "x=30,y=30,w=320,h=240,title=late,mapafter=600"});
    struct Case {
        std::optional<std::string> binaryName;
        std::uint32_t width, height;
    };
    for (const Case& c : {Case{"late", 320, 240}, Case{"hello", 640, 480}, Case{"missing", 900, 700},
                          Case{std::nullopt, 900, 700}}) {
        const auto png = decodePNG(captureAppWindow(c.binaryName, environment));
        ASSERT_TRUE(png) << c.binaryName.value_or("none");
        EXPECT_EQ(png->width, c.width) << c.binaryName.value_or("none");
        EXPECT_EQ(png->height, c.height) << c.binaryName.value_or("none");
    }

    // The wait for a window that is not shown yet ends with the request.
    const TestWindows hidden(TestWindows::wineProgram(), display->name(), {"x=40,y=40,w=100,h=100,title=hidden,mapafter=600000"});
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(captureAppWindow("hidden", environment, stop.get_token()), Cancelled);
}

TEST(HostProcessTest, RaisesTheDescriptorLimitAndLeavesTheSignalsToOneWaiter) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    const rlim_t soft = raiseOpenFileLimit();
    rlimit after{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, soft);
    EXPECT_GE(after.rlim_cur, before.rlim_cur);
    if (before.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(after.rlim_cur, before.rlim_max);
    }

    // In a child: SIGPIPE no longer ends it, and a SIGTERM sent before the wait is answered by it.
    const pid_t child = ::fork();
    if (child == 0) {
        prepareSignals();
        ::raise(SIGPIPE);
        ::kill(::getpid(), SIGTERM);
        ::_exit(waitForShutdownSignal() == SIGTERM ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(signalName(SIGHUP), "SIGHUP");
}

TEST(ScreenshotFileTest, SavesUnderAFreshNameAndNeverReplacesOrFollowsAnything) {
    const TempDir temp;
    const fs::path folder = temp / "captures" / "new";
    const auto taken = std::chrono::system_clock::now();
    const fs::path first = saveScreenshot("first png", folder, taken);
    EXPECT_EQ(first.parent_path(), folder);
    EXPECT_TRUE(first.filename().string().starts_with("Torvex Screenshot ")) << first;
    EXPECT_EQ(first.extension(), ".png");
    const fs::path stem = folder / first.stem();

    fs::create_symlink(temp / "elsewhere.png", stem.string() + " 2.png");  // a link is not followed
    const fs::path third = saveScreenshot("third png", folder, taken);
    EXPECT_EQ(third, stem.string() + " 3.png");
    EXPECT_EQ(readFile(first), "first png");
    EXPECT_EQ(readFile(third), "third png");
    EXPECT_FALSE(fs::exists(temp / "elsewhere.png"));

    writeFile(temp / "file", "a file where the folder must be");
    const TorvexError error = errorOf([&] { saveScreenshot("png", temp / "file" / "shots", taken); });
    EXPECT_EQ(error.what, "Could not save the screenshot.");
    EXPECT_NE(error.why.find((temp / "file").string()), std::string::npos) << error.why;
}

TEST(HostEventsTest, StatusAndLogLinesCarryEveryField) {
    const auto json = [](const char* text) { return nlohmann::ordered_json::parse(text); };
    EXPECT_EQ(statusEvent(ServiceStatus::running("demo", "demo_bin", false)),
              json(R"j({"event":"status","status":"Running demo (not attached)","state":"running",)j"
                   R"("app":"demo","binaryName":"demo_bin","attached":false})"));
    EXPECT_EQ(statusEvent(ServiceStatus::building("")),
              json(R"({"event":"status","status":"Building ","state":"building","app":""})"));
    EXPECT_EQ(statusEvent(ServiceStatus::idle()), json(R"({"event":"status","status":"Idle","state":"idle"})"));

    const LogLine line{7, std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123)),
                       LogLine::Source::build, true, "error: x"};
    EXPECT_EQ(logEvent(line), json(R"({"event":"log","id":7,"date":"2023-11-14T22:13:20.123Z",)"
                                   R"("source":"build","isError":true,"text":"error: x"})"));
}
