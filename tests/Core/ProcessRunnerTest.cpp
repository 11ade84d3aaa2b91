#include "Core/ProcessRunner.h"

#include "support/Eventually.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

ProcessSpec shell(const std::string& script) { return ProcessSpec{"/bin/sh", {"-c", script}, {}, std::nullopt}; }

// Lines delivered to a callback, shared with the pumps that may outlive the run.
struct Lines {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> standardOutput, standardError;

    static LineHandler collectInto(const std::shared_ptr<Lines>& lines) {
        return [lines](const OutputLine& line) {
            const std::lock_guard guard(lines->lock);
            (line.stream == OutputStreamKind::standardOutput ? lines->standardOutput : lines->standardError)
                .push_back(line.text);
            lines->changed.notify_all();
        };
    }
    bool waitFor(const std::string& text, std::chrono::seconds limit) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, limit, [&] {
            return std::find(standardOutput.begin(), standardOutput.end(), text) != standardOutput.end();
        });
    }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const std::string fffd = "\xEF\xBF\xBD";

} // namespace

TEST(ProcessRunnerTest, OutputBytesBecomeLines) {
    struct Case {
        const char* name;
        std::string script;
        std::vector<std::string> out, err;
    };
    const std::string longLine(100000, 'x');
    const std::vector<Case> cases = {
        {"carriage return before newline, partial last line", "printf 'a\\r\\nb'", {"a", "b"}, {}},
        {"only one of two carriage returns removed", "printf 'a\\r\\r\\n'", {"a\r"}, {}},
        {"empty lines kept, no extra line after the last newline", "printf '\\n\\nx\\n'", {"", "", "x"}, {}},
        {"no output", "true", {}, {}},
        {"both streams", "printf 'o1\\no2\\n'; printf 'e1\\n' >&2", {"o1", "o2"}, {"e1"}},
        {"line longer than one read", "head -c 100000 /dev/zero | tr '\\000' x; printf '\\nnext\\n'", {longLine, "next"}, {}},
        {"newline in a later write", "printf 'ab'; sleep 0.1; printf 'c\\nd'", {"abc", "d"}, {}},
        {"carriage return and newline in two writes", "printf 'a\\r'; sleep 0.1; printf '\\nb\\n'", {"a", "b"}, {}},
        {"valid multi-byte text unchanged", "printf '\\303\\251\\342\\202\\254\\360\\237\\230\\200\\n'", {"é€😀"}, {}},
        {"stray byte, rest of the line kept", "printf 'a\\377b\\n'", {"a" + fffd + "b"}, {}},
        {"truncated sequence is one replacement", "printf '\\342\\202x\\n'", {fffd + "x"}, {}},
        {"truncated sequence at end of stream", "printf 'z\\360\\237\\230'", {"z" + fffd}, {}},
        {"overlong form, one per byte", "printf '\\300\\257\\n'", {fffd + fffd}, {}},
        {"surrogate, one per byte", "printf '\\355\\240\\200\\n'", {fffd + fffd + fffd}, {}},
        {"above U+10FFFF, one per byte", "printf '\\364\\220\\200\\200\\n'", {fffd + fffd + fffd + fffd}, {}},
        {"mixed maximal subparts",
         "printf 'a\\361\\200\\200\\341\\200\\302b\\200c\\200\\277d\\n'",
         {"a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"}, {}},
    };
    for (const auto& c : cases) {
        auto lines = std::make_shared<Lines>();
        EXPECT_EQ(ProcessRunner::shared().run(shell(c.script), Lines::collectInto(lines)), 0) << c.name;
        const std::lock_guard guard(lines->lock);
        EXPECT_EQ(lines->standardOutput, c.out) << c.name;
        EXPECT_EQ(lines->standardError, c.err) << c.name;
    }
}

TEST(ProcessRunnerTest, CaptureJoinsEachStreamsLines) {
    const ProcessResult result =
        ProcessRunner::shared().capture(shell("printf 'one\\n\\ntwo\\n'; printf 'bad\\n' >&2; exit 4"));
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_EQ(result.standardOutput, "one\n\ntwo");
    EXPECT_EQ(result.standardError, "bad");

    const ProcessResult silent = ProcessRunner::shared().capture(shell("true"));
    EXPECT_EQ(silent.standardOutput, "");
    EXPECT_EQ(silent.standardError, "");
    EXPECT_EQ(streamName(OutputStreamKind::standardOutput), "stdout");
    EXPECT_EQ(streamName(OutputStreamKind::standardError), "stderr");
}

TEST(ProcessRunnerTest, ExitCodes) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -KILL $$", 137}, {"kill -TERM $$", 143},
    };
    for (const auto& [script, expected] : cases)
        EXPECT_EQ(ProcessRunner::shared().run(shell(script), nullptr), expected) << script;
}

TEST(ProcessRunnerTest, StartErrorsCarryTheSystemsReason) {
    const TempDir dir;
    writeFile(dir / "plain", "#!/bin/sh\n");
    struct Case {
        const char* name;
        ProcessSpec spec;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"missing file", {dir / "missing", {}, {}, std::nullopt}, "No such file or directory"},
        {"not executable", {dir / "plain", {}, {}, std::nullopt}, "Permission denied"},
        {"missing working folder", {"/bin/sh", {"-c", "true"}, {}, dir / "nowhere"}, "No such file or directory"},
        {"NUL in an argument", {"/bin/sh", {"-c", std::string("echo a\0b", 8)}, {}, std::nullopt}, "Invalid argument"},
        {"NUL in an environment value", {"/bin/sh", {"-c", "true"}, {{"X", std::string("a\0b", 3)}}, std::nullopt},
         "Invalid argument"},
    };
    for (const auto& c : cases) {
        try {
            ProcessRunner::shared().run(c.spec, nullptr);
            ADD_FAILURE() << c.name << ": started";
        } catch (const TorvexError& error) {
            EXPECT_EQ(error.kind, TorvexError::Kind::generic) << c.name;
            EXPECT_EQ(error.what, "Could not start " + c.spec.executable.string() + ".") << c.name;
            EXPECT_EQ(error.why, c.why) << c.name;
            EXPECT_EQ(error.fix, "Check that the file exists and is executable.") << c.name;
        }
    }
}

TEST(ProcessRunnerTest, ChildGetsACleanStart) {
    const TempDir dir;
    // A descriptor without close-on-exec, a blocked and an ignored signal: none may reach the child.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, nullptr), 0);
    const auto previous = ::signal(SIGUSR1, SIG_IGN);
    ::setenv("TORVEX_TEST_INHERITED", "parent", 1);
    ::setenv("TORVEX_TEST_OVERRIDE", "parent", 1);

    // The shell reads its own descriptors and signal state: a forked reader could see the mask the
    // shell holds while it forks, and a pipeline's descriptors.
    const std::string script =
        "ls /proc/$$/fd;"
        "while read -r key value; do case $key in SigBlk:|SigIgn:) echo \"$key\t$value\";; esac; done < /proc/$$/status;"
        "echo \"pid $$\"; echo \"pgrp $(cut -d' ' -f5 /proc/$$/stat)\";"
        "echo \"env $TORVEX_TEST_INHERITED $TORVEX_TEST_OVERRIDE [${TORVEX_TEST_EMPTY-unset}] ${TORVEX_TEST_EMPTY+set}\";"
        "if read -r line; then echo stdin data; else echo stdin eof; fi; pwd";
    ProcessSpec spec = shell(script);
    spec.environment = {{"TORVEX_TEST_OVERRIDE", "child"}, {"TORVEX_TEST_EMPTY", ""}};
    spec.currentDirectory = dir.path();
    const ProcessResult result = ProcessRunner::shared().capture(spec);

    ::close(leaked);
    ::signal(SIGUSR1, previous);
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);

    std::vector<std::string> lines;
    std::string pid, pgrp;
    unsigned long long ignored = ~0ULL;
    for (size_t start = 0; start <= result.standardOutput.size();) {
        const size_t end = std::min(result.standardOutput.find('\n', start), result.standardOutput.size());
        const std::string line = result.standardOutput.substr(start, end - start);
        if (line.rfind("pid ", 0) == 0) pid = line.substr(4);
        else if (line.rfind("pgrp ", 0) == 0) pgrp = line.substr(5);
        else if (line.rfind("SigIgn:\t", 0) == 0) ignored = std::stoull(line.substr(8), nullptr, 16);
        else lines.push_back(line);
        start = end + 1;
    }
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(lines, (std::vector<std::string>{"0", "1", "2", "SigBlk:\t0000000000000000",
                                               "env parent child [] set", "stdin eof",
                                               dir.path().string()}));
    // glibc leaves its own two internal signals (32, 33) ignored; every ordinary one is at its default.
    EXPECT_EQ(ignored & 0x7FFFFFFFULL, 0ULL) << std::hex << ignored;
    EXPECT_FALSE(pid.empty());
    EXPECT_EQ(pgrp, pid) << "the child leads its own process group";
    EXPECT_NE(pgrp, std::to_string(::getpgrp()));
}

TEST(ProcessRunnerTest, AShortRunDoesNotWaitForALongOnesPipes) {
    // The long child starts while the short run's pipes are open; it must not hold them.
    double shortSeconds = 0;
    std::thread shortRun([&] {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ProcessRunner::shared().capture(shell("sleep 0.3; echo done")).standardOutput, "done");
        shortSeconds = secondsSince(start);
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ProcessRunner::shared().capture(shell("sleep 2.5")).exitCode, 0);
    shortRun.join();
    EXPECT_LT(shortSeconds, 1.5);
}

TEST(ProcessRunnerTest, StoppingEndsTheGroupAndReturnsTheCode) {
    struct Case {
        const char* name;
        std::string script;
        bool stopBeforeStart;
        std::int32_t code;
        double minSeconds, maxSeconds;
    };
    const std::vector<Case> cases = {
        {"stopped before the start", "echo ready; sleep 10", true, 143, 0, 5},  // well before sleep ends, even under load
        {"stopped while running", "echo ready; sleep 10", false, 143, 0, 5},
        {"TERM ignored, KILL after 3 s", "trap '' TERM; echo ready; sleep 10", false, 137, 2.8, 6},
    };
    for (const auto& c : cases) {
        std::stop_source stop;
        if (c.stopBeforeStart) stop.request_stop();
        auto lines = std::make_shared<Lines>();
        std::optional<std::jthread> stopper;
        if (!c.stopBeforeStart)
            stopper.emplace([&stop, lines] {
                if (lines->waitFor("ready", 5s)) stop.request_stop();
            });
        const auto start = std::chrono::steady_clock::now();
        std::int32_t code = -1;
        EXPECT_NO_THROW(code = ProcessRunner::shared().run(shell(c.script), Lines::collectInto(lines), stop.get_token()))
            << c.name;
        const double seconds = secondsSince(start);
        EXPECT_EQ(code, c.code) << c.name;
        EXPECT_GE(seconds, c.minSeconds) << c.name;
        EXPECT_LT(seconds, c.maxSeconds) << c.name;
    }
}

TEST(ProcessRunnerTest, TheLateKillSparesAGroupThatTookTheEndedChildsNumber) {
    const TempDir temp;
    const SpawnResult reuse = spawnAndWait({GROUP_NUMBER_REUSE, {GROUP_NUMBER_REUSE}, std::nullopt, {}}, temp.path());
    if (reuse.status == 77) GTEST_SKIP() << "no pid namespace here: " << reuse.err;
    EXPECT_EQ(reuse.status, 0) << "1: the new group was killed; 2: the pid was not reused. " << reuse.err;
}

TEST(ProcessRunnerTest, ABackgroundGrandchildDelaysTheRunByTwoSecondsAtMost) {
    const std::string script = "(sleep 3; echo late) & echo early";
    ProcessResult captured;
    std::thread captureRun([&] { captured = ProcessRunner::shared().capture(shell(script)); });

    auto lines = std::make_shared<Lines>();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ProcessRunner::shared().run(shell(script), Lines::collectInto(lines)), 0);
    const double seconds = secondsSince(start);
    EXPECT_GE(seconds, 1.8);
    EXPECT_LT(seconds, 2.9);
    EXPECT_TRUE(lines->waitFor("late", 5s)) << "a line written after the run still reaches the callback";

    captureRun.join();
    EXPECT_EQ(captured.standardOutput, "early");
}

TEST(ProcessRunnerTest, DiscardedOutputEndsTheRunWithTheChildEvenWhenADaemonKeepsIt) {
    const TempDir dir;
    // The daemon outlives the run and writes down what its standard output and error are.
    const auto spec = [&](const std::string& report) {
        ProcessSpec spec = shell("(sleep 1; exec 3>&1 4>&2; seen=$(readlink /proc/self/fd/3 /proc/self/fd/4); "
                                 "echo \"$seen\" > \"$1.part\"; mv \"$1.part\" \"$1\") & "
                                 "echo shown; echo err >&2; exit 3");
        spec.arguments.push_back("sh");
        spec.arguments.push_back((dir / report).string());
        spec.discardOutput = true;
        return spec;
    };
    auto lines = std::make_shared<Lines>();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ProcessRunner::shared().run(spec("run"), Lines::collectInto(lines)), 3);
    EXPECT_LT(secondsSince(start), 0.9);
    const ProcessResult captured = ProcessRunner::shared().capture(spec("capture"));
    EXPECT_EQ(captured.exitCode, 3);
    EXPECT_EQ(captured.standardOutput + captured.standardError, "");

    for (const char* report : {"run", "capture"}) {
        ASSERT_TRUE(eventually([&] { return fs::exists(dir / report); }, 10s)) << report;
        EXPECT_EQ(readFile(dir / report), "/dev/null\n/dev/null\n") << report;
    }
    const std::lock_guard guard(lines->lock);
    EXPECT_TRUE(lines->standardOutput.empty() && lines->standardError.empty());
}

TEST(ProcessRunnerTest, WhichSearchesInOrderForExecutableFiles) {
    const TempDir dir;
    writeScript(dir / "extra/tool", "");
    writeScript(dir / "path1/tool", "");
    writeScript(dir / "path2/only-in-path2", "");
    writeFile(dir / "plain/tool", "not executable");
    fs::create_directories(dir / "folder/tool");
    const std::string extra = (dir / "extra").string(), plain = (dir / "plain").string(),
                      folder = (dir / "folder").string(), path1 = (dir / "path1").string(),
                      path2 = (dir / "path2").string();
    struct Case {
        const char* name;
        std::optional<std::string> path;
        std::vector<std::string> extraPaths;
        std::string program;
        std::optional<fs::path> expected;
    };
    const std::vector<Case> cases = {
        {"extra paths come first", path1, {extra}, "tool", dir / "extra/tool"},
        {"non-executable file and folder skipped", path1, {plain, folder}, "tool", dir / "path1/tool"},
        {"empty PATH entries ignored", "::" + plain + "::" + path2 + ":", {}, "only-in-path2", dir / "path2/only-in-path2"},
        {"PATH unset searches only extra paths", std::nullopt, {path2}, "only-in-path2", dir / "path2/only-in-path2"},
        {"PATH unset, nothing found", std::nullopt, {plain}, "tool", std::nullopt},
        {"missing everywhere", path1 + ":" + path2, {extra}, "torvex-no-such-program", std::nullopt},
    };
    const std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    for (const auto& c : cases) {
        if (c.path) ::setenv("PATH", c.path->c_str(), 1);
        else ::unsetenv("PATH");
        EXPECT_EQ(ProcessRunner::which(c.program, c.extraPaths), c.expected) << c.name;
    }
    ::setenv("PATH", saved.c_str(), 1);
}

TEST(ProcessRunnerTest, TerminateAllStopsRunningChildren) {
    std::int32_t code = -1;
    std::thread runner([&] { code = ProcessRunner::shared().run(shell("sleep 10"), nullptr); });
    std::this_thread::sleep_for(300ms);
    ProcessRunner::shared().terminateAll();
    runner.join();
    EXPECT_EQ(code, 143);
}

namespace {

// Threads and descriptors of this process.
struct Resources {
    long threads = 0, descriptors = 0;
    bool operator==(const Resources&) const = default;
};

Resources resources() {
    const auto count = [](const char* folder) {
        return static_cast<long>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    };
    return {count("/proc/self/task"), count("/proc/self/fd")};
}

// Whether `pid` is a live process (not gone, not a zombie).
bool isRunning(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The number in the first standard-output line that holds one.
pid_t firstPid(const std::shared_ptr<Lines>& lines) {
    const std::lock_guard guard(lines->lock);
    for (const auto& line : lines->standardOutput)
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) return std::stoi(line);
    return 0;
}

long peakResidentKiB() {
    const std::string status = readFile("/proc/self/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::stol(status.substr(at + 6));
}

} // namespace

TEST(ProcessRunnerTest, AHandlerThatThrowsNeitherEndsTheProgramNorStallsTheChild) {
    // Each stream carries more than a pipe holds, so a reader that stopped would block the child.
    struct Case {
        const char* name;
        std::function<void()> raise;
    };
    const std::vector<Case> cases = {
        {"standard exception", [] { throw std::runtime_error("handler failed"); }},
        {"out of memory", [] { throw std::bad_alloc(); }},
        {"TorvexError", [] { throw TorvexError(TorvexError::Kind::generic, "what", "why", "fix"); }},
        {"anything else", [] { throw 42; }},
    };
    for (const auto& c : cases) {
        auto calls = std::make_shared<std::atomic<int>>(0);
        std::int32_t code = -1;
        EXPECT_NO_THROW(code = ProcessRunner::shared().run(shell("seq 1 30000; seq 1 30000 >&2; exit 7"),
                                                           [calls, raise = c.raise](const OutputLine&) {
                                                               ++*calls;
                                                               raise();
                                                           }))
            << c.name;
        EXPECT_EQ(code, 7) << c.name;
        EXPECT_EQ(calls->load(), 60000) << c.name << ": every line is still offered";
    }
}

TEST(ProcessRunnerTest, AnOverlongLineArrivesInPiecesCutBetweenCharacters) {
    const TempDir dir;
    constexpr size_t mib = ProcessRunner::maxLineBytes;
    std::string euros;
    while (euros.size() < 3 * mib) euros += "\xE2\x82\xAC";  // 1 MiB is no multiple of 3 bytes
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"ASCII without a newline for 2.5 MiB", std::string(mib * 5 / 2, 'x') + "\nnext\n",
         {std::string(mib, 'x'), std::string(mib, 'x'), std::string(mib / 2, 'x'), "next"}},
        {"exactly the limit is one line", std::string(mib, 'y') + "\r\n", {std::string(mib, 'y')}},
        {"three-byte characters", euros + "\n",
         {euros.substr(0, mib - 1), euros.substr(mib - 1, mib - 1), euros.substr(2 * mib - 2, mib - 1),
          euros.substr(3 * mib - 3)}},
    };
    for (const auto& c : cases) {
        writeFile(dir / "output", c.bytes);
        auto lines = std::make_shared<Lines>();
        EXPECT_EQ(ProcessRunner::shared().run(shell("cat '" + (dir / "output").string() + "'"), Lines::collectInto(lines)),
                  0);
        const std::lock_guard guard(lines->lock);
        ASSERT_EQ(lines->standardOutput.size(), c.lines.size()) << c.name;
        for (size_t i = 0; i < c.lines.size(); ++i)
            EXPECT_TRUE(lines->standardOutput[i] == c.lines[i]) << c.name << ": piece " << i;
    }
}

TEST(ProcessRunnerTest, AStreamWithoutNewlinesKeepsMemoryBounded) {
    constexpr long streamed = 256L << 20;
    const long peakBefore = peakResidentKiB();
    auto bytes = std::make_shared<std::atomic<long>>(0);
    EXPECT_EQ(ProcessRunner::shared().run(shell("head -c " + std::to_string(streamed) + " /dev/zero"),
                                          [bytes](const OutputLine& line) { *bytes += static_cast<long>(line.text.size()); }),
              0);
    EXPECT_EQ(bytes->load(), streamed);
    EXPECT_LT(peakResidentKiB() - peakBefore, 64L << 10) << "KiB more at the peak";
}

TEST(ProcessRunnerTest, ReadersEndWithTheirStreamsOrWhenToldToStop) {
    ProcessRunner::shared().run(shell("true"), nullptr);  // the system log's connection is made once
    // Run with other tests in one process, their readers and kill timers end first.
    eventually([] { return resources().threads == 1; }, 6s);
    const Resources before = resources();

    // Grandchildren that write once more after the run returned, then end.
    std::vector<std::shared_ptr<Lines>> late(4);
    {
        std::vector<std::jthread> runs;
        for (auto& lines : late) {
            lines = std::make_shared<Lines>();
            runs.emplace_back([lines] {
                EXPECT_EQ(ProcessRunner::shared().run(shell("(sleep 2.4; echo late) & echo early"),
                                                      Lines::collectInto(lines)),
                          0);
            });
        }
    }
    for (const auto& lines : late) EXPECT_TRUE(lines->waitFor("late", 5s));
    EXPECT_TRUE(eventually([&] { return resources() == before; }, 3s))
        << resources().threads << " threads, " << resources().descriptors << " descriptors";

    // Grandchildren that hold the pipes and never write: their readers end when told to.
    std::stop_source stop;
    std::vector<std::shared_ptr<Lines>> held(3);
    {
        std::vector<std::jthread> runs;
        for (size_t i = 0; i < held.size(); ++i) {
            held[i] = std::make_shared<Lines>();
            runs.emplace_back([&, i] {
                ProcessRunner::shared().run(shell("sleep 60 & echo $!"), Lines::collectInto(held[i]),
                                            i == 0 ? stop.get_token() : std::stop_token());
            });
        }
    }
    const Resources lingering = resources();
    EXPECT_EQ(lingering.threads, before.threads + 6);
    stop.request_stop();
    EXPECT_TRUE(eventually([&] { return resources().threads == before.threads + 4; }, 3s))
        << "the stopped run's two readers end";
    ProcessRunner::shared().terminateAll();
    EXPECT_TRUE(eventually([&] { return resources() == before; }, 3s))
        << resources().threads << " threads, " << resources().descriptors << " descriptors";

    for (const auto& lines : held)
        if (const pid_t sleeper = firstPid(lines); sleeper > 0) ::kill(sleeper, SIGKILL);
}

TEST(ProcessRunnerTest, StoppingEndsDescendantsThatLeftTheGroupAndGroupMembersThatLeftTheTree) {
    const TempDir dir;
    struct Case {
        const char* name;
        const char* start;  // starts the sleeper ({}) in the background and prints its pid
        std::string setup;  // run by the sleeper before it reports ready
        double minSeconds, maxSeconds;
    };
    // A descendant in a session of its own; an orphan whose parent has ended, so that only its
    // group still ties it to the child (a background job that outlives its subshell).
    const char* ownSession = "setsid {} & echo $!;";
    const char* orphan = "({} & echo $!);";
    const std::vector<Case> cases = {  // seconds from the stop
        {"own session", ownSession, "", 0, 2.5},
        {"own session, TERM ignored", ownSession, "trap '' TERM;", 2.9, 8},
        {"orphan in the group", orphan, "", 0, 2.5},
        {"orphan in the group, TERM ignored", orphan, "trap '' TERM;", 2.9, 8},
    };
    int count = 0;
    for (const auto& c : cases) {
        const std::string ready = (dir / ("ready" + std::to_string(++count))).string();
        const std::string sleeper = "sh -c \"" + c.setup + " : > '" + ready + "'; exec sleep 30\" >/dev/null 2>&1";
        std::string script = c.start;
        script.replace(script.find("{}"), 2, sleeper);
        script += "while [ ! -e '" + ready + "' ]; do sleep 0.02; done; echo started; sleep 30";
        std::stop_source stop;
        auto lines = std::make_shared<Lines>();
        std::chrono::steady_clock::time_point start;
        std::jthread stopper([&stop, &start, lines] {
            if (!lines->waitFor("started", 10s)) return;
            start = std::chrono::steady_clock::now();
            stop.request_stop();
        });
        EXPECT_EQ(ProcessRunner::shared().run(shell(script), Lines::collectInto(lines), stop.get_token()), 143)
            << c.name;
        stopper.join();
        const pid_t descendant = firstPid(lines);
        ASSERT_GT(descendant, 0) << c.name;
        EXPECT_TRUE(eventually([&] { return !isRunning(descendant); }, 10s)) << c.name;
        const double seconds = secondsSince(start);
        EXPECT_GE(seconds, c.minSeconds) << c.name;
        EXPECT_LT(seconds, c.maxSeconds) << c.name;
        ::kill(descendant, SIGKILL);
    }
}

TEST(ProcessRunnerTest, ARelativeExecutableIsFoundFromTheRunnersFolder) {
    const TempDir dir;
    writeScript(dir / "bin" / "tool", "echo \"$0\"; pwd\n");
    fs::create_directories(dir / "work");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    const ProcessResult result = ProcessRunner::shared().capture({"bin/tool", {}, {}, dir / "work"});
    fs::current_path(previous);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, (dir / "bin" / "tool").string() + "\n" + (dir / "work").string());
}
