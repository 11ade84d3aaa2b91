#include "ProcessRunner.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
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
        {"stopped before the start", "echo ready; sleep 10", true, 143, 0, 2},
        {"stopped while running", "echo ready; sleep 10", false, 143, 0, 2},
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
