#include "Runtime/WineEnvironment.h"

#include "Core/TorvexError.h"
#include "support/FakeWine.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <functional>
#include <mutex>
#include <thread>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::FakeWine;
using testing::FakeWineBehaviour;
using testing::themeImport;
using testing::TempDir;
using testing::errorOf;
using testing::readFile;
using testing::writeFile;
using Calls = std::vector<std::vector<std::string>>;
using namespace std::chrono_literals;

const std::vector<std::string> bootCall = {"wineboot", "--init"};
const std::vector<std::string> waitCall = {"wineserver", "-w"};
const std::vector<std::string> killCall = {"wineserver", "-k"};

std::vector<std::string> dpiCall(const std::string& dpi) {
    return {"wine", "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", dpi, "/f"};
}


// Progress lines, as a caller on another thread would collect them.
struct Progress {
    std::mutex lock;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& line) {
            const std::lock_guard guard(lock);
            lines.push_back(line);
        };
    }
};

struct Fixture {
    TempDir temp;
    FakeWine fake{temp / "fake wine"};
    WineEnvironment wine{fake.bin(), temp / "support/prefixes/default", std::nullopt};
    Fixture() { fs::create_directories(wine.prefix); }
    fs::path marker() const { return wine.prefix / "torvex-dpi"; }
    void initialised() const { testing::writePreparedPrefix(wine.prefix); }
};

TEST(WineEnvironmentPrefixTest, RunsTheProgramsOfEachOperationInOrder) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> arrange;
        std::function<void(const WineEnvironment&, Progress&)> operation;
        Calls calls;
        std::optional<std::string> marker;  // none: no marker file
        std::size_t progressLines = 0;
    };
    const auto ensure = [](const WineEnvironment& wine, Progress& progress) { wine.ensurePrefix(progress.sink()); };
    const auto dpi = [](std::int64_t value) { return [value](const WineEnvironment& wine, Progress&) { wine.applyDPI(value); }; };
    const std::vector<Case> cases = {
        {"a new prefix is made and booted, then the server awaited", [](Fixture& f) { fs::remove(f.wine.prefix); },
         ensure, {bootCall, waitCall}, std::nullopt, 1},
        {"an empty prefix folder: what may run in it is ended first", [](Fixture&) {}, ensure,
         {killCall, waitCall, bootCall, waitCall}, std::nullopt, 1},
        {"an initialised prefix starts nothing", [](Fixture& f) { f.initialised(); }, ensure, {}, std::nullopt, 0},
        {"the registry of an unfinished preparation: prepared again, its DPI marker gone",
         [](Fixture& f) {
             f.initialised();
             fs::remove(f.wine.prefix / "torvex-ready");
             writeFile(f.wine.prefix / ".update-timestamp", "1676758571\n");
             writeFile(f.marker(), "144");
         },
         ensure, {killCall, waitCall, bootCall, waitCall}, std::nullopt, 1},
        {"a re-created registry gets the DPI again",
         [](Fixture& f) {
             f.initialised();
             writeFile(f.marker(), "144");
             fs::remove(f.wine.prefix / "system.reg");
             fs::remove(f.wine.prefix / "user.reg");
         },
         [](const WineEnvironment& wine, Progress& progress) {
             wine.ensurePrefix(progress.sink());
             wine.applyDPI(144);
         },
         {killCall, waitCall, bootCall, waitCall, dpiCall("144"), killCall, waitCall}, "144", 1},
        {"only user.reg deleted: prepared again", [](Fixture& f) { f.initialised(); fs::remove(f.wine.prefix / "user.reg"); },
         ensure, {killCall, waitCall, bootCall, waitCall}, std::nullopt, 1},
        {"DPI 144 on a new prefix: registry, stop, wait, marker", [](Fixture&) {}, dpi(144),
         {dpiCall("144"), killCall, waitCall}, "144"},
        {"a marker of the same DPI starts nothing", [](Fixture& f) { writeFile(f.marker(), "96"); }, dpi(96), {}, "96"},
        {"a marker with a line end is written again, without it",
         [](Fixture& f) { writeFile(f.marker(), "96\n"); }, dpi(96), {dpiCall("96"), killCall, waitCall}, "96"},
        {"a marker of another DPI", [](Fixture& f) { writeFile(f.marker(), "96"); }, dpi(120),
         {dpiCall("120"), killCall, waitCall}, "120"},
        {"a failing registry write is ignored",
         [](Fixture& f) { f.fake.behave("wine reg", {.standardError = {"reg: access denied"}, .exitCode = 1}); },
         dpi(192), {dpiCall("192"), killCall, waitCall}, "192"},
        {"a dark theme: both values 0 in one import", [](Fixture&) {},
         [](const WineEnvironment& wine, Progress&) { wine.applyTheme(Profile::Theme::dark); }, {themeImport("0")},
         std::nullopt},
        {"a light theme: both values 1, every time", [](Fixture&) {},
         [](const WineEnvironment& wine, Progress&) { wine.applyTheme(Profile::Theme::light); wine.applyTheme(Profile::Theme::light); },
         {themeImport("1"), themeImport("1")}, std::nullopt},
        {"a failing import is ignored", [](Fixture& f) { f.fake.behave("wine reg", {.exitCode = 1}); },
         [](const WineEnvironment& wine, Progress&) { wine.applyTheme(Profile::Theme::dark); }, {themeImport("0")},
         std::nullopt},
        {"killAll stops the server and waits for it, whatever their codes",
         [](Fixture& f) { f.fake.behave("wineserver", {.exitCode = 1}); },
         [](const WineEnvironment& wine, Progress&) { wine.killAll(); }, {killCall, waitCall}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.arrange(f);
        Progress progress;
        c.operation(f.wine, progress);
        EXPECT_EQ(f.fake.argvs(), c.calls);
        EXPECT_EQ(fs::exists(f.marker()) ? std::optional(readFile(f.marker())) : std::nullopt, c.marker);
        EXPECT_EQ(progress.lines.size(), c.progressLines);
        if (c.progressLines == 0) continue;
        // A completed preparation: ready, and Wine was made to install the prefix in full.
        EXPECT_TRUE(f.wine.isInitialized());
        EXPECT_FALSE(fs::exists(f.wine.prefix / ".update-timestamp"));
    }
}

TEST(WineEnvironmentPrefixTest, EveryProgramGetsTheWineEnvironmentAndTheCallersFolder) {
    Fixture f;
    f.wine.dxvk = f.temp / "dxvk/2.4/x64";
    Progress progress;
    f.wine.ensurePrefix(progress.sink());
    f.wine.applyTheme(Profile::Theme::light);
    EXPECT_EQ(progress.lines, std::vector<std::string>{"Creating the Windows environment (first run only)\u2026"});
    EXPECT_TRUE(f.wine.isInitialized());
    const auto calls = f.fake.calls();
    ASSERT_EQ(calls.size(), 5u);
    for (const auto& call : calls) {
        SCOPED_TRACE(call.program);
        EXPECT_EQ(call.cwd, fs::current_path());
        EXPECT_EQ(call.environment.at("WINEPREFIX"), f.wine.prefix.string());
        EXPECT_EQ(call.environment.at("WINEDLLOVERRIDES"), "mscoree,mshtml=;d3d11,d3d10core=n,b");
        EXPECT_EQ(call.environment.at("DXVK_LOG_LEVEL"), "none");
    }
}

TEST(WineEnvironmentPrefixTest, APrefixThatWinebootDidNotMakeIsAnErrorWithItsLastMessage) {
    struct Case {
        const char* name;
        FakeWineBehaviour boot;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"exit 0 without system.reg", {.standardError = {"wine: created the configuration directory", "wine: no display", ""},
                                       .createSystemReg = false}, "wine: no display"},
        {"failure with nothing on standard error", {.exitCode = 1, .createSystemReg = false}, "wineboot failed."},
        {"blank lines after the last message; spaces are a message",
         {.standardError = {"err: something", "   ", "", ""}, .exitCode = 3, .createSystemReg = false}, "   "},
        {"failure even though system.reg was made", {.standardError = {"fixme"}, .exitCode = 1}, "fixme"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.fake.behave("wineboot", c.boot);
        Progress progress;
        const TorvexError error = errorOf([&] { f.wine.ensurePrefix(progress.sink()); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, "Could not create the Windows environment.");
        EXPECT_EQ(error.why, c.why);
        EXPECT_EQ(error.fix, "Delete the folder " + f.wine.prefix.string() + " and try again; it is recreated on first run.");
        EXPECT_EQ(f.fake.argvs(), (Calls{killCall, waitCall, bootCall, waitCall}));
        EXPECT_TRUE(fs::is_directory(f.wine.prefix));  // left as it is
        EXPECT_FALSE(f.wine.isInitialized());

        // The next call boots again, also when the failed one left a registry.
        f.fake.clearCalls();
        f.fake.behave("wineboot", {});
        f.wine.ensurePrefix(progress.sink());
        EXPECT_EQ(f.fake.argvs(), (Calls{killCall, waitCall, bootCall, waitCall}));
        EXPECT_EQ(progress.lines.size(), 2u);
        EXPECT_TRUE(f.wine.isInitialized());
    }
}

TEST(WineEnvironmentPrefixTest, AProgramThatCannotStartStopsTheOperationThere) {
    struct Case {
        const char* name;
        const char* missing;
        std::function<void(const WineEnvironment&)> operation;
        Calls calls;
    };
    const auto ensureNew = [](const WineEnvironment& wine) {
        fs::remove(wine.prefix);
        wine.ensurePrefix({});
    };
    const auto dpi = [](const WineEnvironment& wine) { wine.applyDPI(144); };
    const std::vector<Case> cases = {
        {"ensurePrefix without wineboot", "wineboot", ensureNew, {}},
        {"ensurePrefix without wineserver", "wineserver", ensureNew, {bootCall}},
        {"ensurePrefix of an existing folder without wineserver", "wineserver",
         [](const WineEnvironment& wine) { wine.ensurePrefix({}); }, {}},
        {"applyDPI without wine", "wine", dpi, {}},
        {"applyDPI without wineserver", "wineserver", dpi, {dpiCall("144")}},
        {"applyTheme without wine", "wine", [](const WineEnvironment& wine) { wine.applyTheme(Profile::Theme::dark); }, {}},
        {"killAll without wineserver", "wineserver", [](const WineEnvironment& wine) { wine.killAll(); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        fs::remove(f.fake.bin() / c.missing);
        const TorvexError error = errorOf([&] { c.operation(f.wine); });
        EXPECT_EQ(error.what, "Could not start " + (f.fake.bin() / c.missing).string() + ".");
        EXPECT_EQ(f.fake.argvs(), c.calls);
        EXPECT_FALSE(fs::exists(f.marker()));
        EXPECT_FALSE(f.wine.isInitialized());
    }
}

TEST(WineEnvironmentPrefixTest, FileSystemFailuresPassThroughUnchanged) {
    {
        SCOPED_TRACE("a file where the prefixes folder must be");
        Fixture f;
        fs::remove_all(f.wine.prefix.parent_path());
        writeFile(f.wine.prefix.parent_path(), "not a folder");
        EXPECT_THROW(f.wine.ensurePrefix({}), fs::filesystem_error);
        EXPECT_EQ(f.fake.argvs(), Calls{});
    }
    {
        SCOPED_TRACE("a folder in the marker's place: the value is written and the server stopped first");
        Fixture f;
        fs::create_directories(f.marker());
        EXPECT_THROW(f.wine.applyDPI(144), fs::filesystem_error);
        EXPECT_EQ(f.fake.argvs(), (Calls{dpiCall("144"), killCall, waitCall}));
    }
}

TEST(WineEnvironmentPrefixTest, AStopRequestEndsTheRunningProgramAndTheOperation) {
    Fixture f;
    // The stopped wineboot has written a registry already: it is not a ready prefix.
    f.fake.behave("wineboot", {.waitForSignal = true});
    std::stop_source stop;
    std::jthread stopper([&] {
        for (int i = 0; i < 3000 && !fs::exists(f.wine.prefix / "user.reg"); ++i) std::this_thread::sleep_for(10ms);
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(f.wine.ensurePrefix({}, stop.get_token()), Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    // What the stopped preparation started is ended, whatever stopped it.
    EXPECT_EQ(f.fake.argvs(), (Calls{killCall, waitCall, bootCall, killCall, waitCall}));
    EXPECT_FALSE(f.wine.isInitialized());

    // Stopped before it starts, nothing starts.
    f.fake.clearCalls();
    EXPECT_THROW(f.wine.applyDPI(96, stop.get_token()), Cancelled);
    EXPECT_THROW(f.wine.applyTheme(Profile::Theme::dark, stop.get_token()), Cancelled);
    EXPECT_EQ(f.fake.argvs(), Calls{});
    EXPECT_FALSE(fs::exists(f.marker()));
}

} // namespace
} // namespace torvex

namespace torvex {
namespace {

TEST(WineEnvironmentPrefixTest, KillAllEndsTheWineProcessesLeftInItsPrefixAndNoOtherPrefixs) {
    const Fixture f;
    // Wine programs that outlived their server, each started in a prefix of its own; a program of
    // another name in this prefix.
    const fs::path wineProgram = f.temp / "programs" / "wine64-preloader";
    const fs::path otherProgram = f.temp / "programs" / "sleeper";
    fs::create_directories(wineProgram.parent_path());
    fs::copy_file("/bin/sleep", wineProgram);
    fs::copy_file("/bin/sleep", otherProgram);
    const fs::path prefixes = f.wine.prefix.parent_path();
    const struct {
        const char* name;
        fs::path program;
        std::string prefix;  // its WINEPREFIX
        bool ended;
    } cases[] = {
        {"a Wine program of the prefix", wineProgram, f.wine.prefix.string(), true},
        {"one of a prefix whose name starts with this one's", wineProgram, (prefixes / "default-2").string(), false},
        {"one of a prefix this one's name starts with", wineProgram, (prefixes / "defaul").string(), false},
        {"one of the prefix written with a trailing slash", wineProgram, f.wine.prefix.string() + "/", false},
        {"another program of the prefix", otherProgram, f.wine.prefix.string(), false},
    };
    std::vector<pid_t> pids;
    for (const auto& c : cases) {
        std::vector<std::string> argv{c.program.string(), "30"};
        std::vector<std::string> environment = testing::mergedEnvironment({{"WINEPREFIX", c.prefix}});
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, c.program.c_str(), nullptr, nullptr, testing::pointers(argv).data(),
                                testing::pointers(environment).data()),
                  0);
        pids.push_back(pid);
    }
    // posix_spawn returns once each runs its program.
    f.wine.killAll();
    for (std::size_t n = 0; n < pids.size(); ++n) {
        int status = 0;
        const bool ended = ::waitpid(pids[n], &status, WNOHANG) == pids[n];
        EXPECT_EQ(ended, cases[n].ended) << cases[n].name;
        if (!ended) {
            ::kill(pids[n], SIGKILL);
            ::waitpid(pids[n], &status, 0);
        }
    }
}

} // namespace
} // namespace torvex
