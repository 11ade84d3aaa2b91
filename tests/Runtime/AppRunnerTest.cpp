#include "Runtime/AppRunner.h"

#include "Core/TorvexError.h"
#include "support/Eventually.h"
#include "support/FakeWine.h"
#include "support/OutputLines.h"
#include "support/ScopedVariable.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::FakeWine;
using testing::OutputLines;
using testing::ScopedVariable;
using testing::TempDir;
using testing::eventually;
using testing::themeImport;
using Calls = std::vector<std::vector<std::string>>;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> bootCall = {"wineboot", "--init"};
const std::vector<std::string> waitCall = {"wineserver", "-w"};
const std::vector<std::string> killCall = {"wineserver", "-k"};
const std::vector<std::string> serverCall = {"wineserver", "-p60"};  // kept from the settings to the app's start
const std::vector<std::string> appCall = {"wine", "cmd", "/c", "C:\\Torvex\\Apps\\demo\\demo.exe"};


TEST(AppRunnerTest, EngineSwitchesFromToolOptions) {
    const struct {
        std::string options;
        std::vector<std::string> switches;
    } cases[] = {
        {"", {"enable-impeller=false"}},
        {"    ", {"enable-impeller=false"}},
        {"--enable-dart-profiling --trace-startup", {"enable-dart-profiling", "trace-startup", "enable-impeller=false"}},
        {"--dart-flags=--a --b", {"dart-flags=--a", "b", "enable-impeller=false"}},
        {"--enable-impeller", {"enable-impeller"}},
        {"--trace-startup --enable-impeller=true", {"trace-startup", "enable-impeller=true"}},
        {"\t--a\t --b\t", {"a", "b", "enable-impeller=false"}},
        {"--a\t--b", {"a\t--b", "enable-impeller=false"}},  // only " --" separates
        {" --  -- --x", {"x", "enable-impeller=false"}},
        {"----x --y\n", {"--x", "y\n", "enable-impeller=false"}},  // one "--" dropped; line ends kept
    };
    for (const auto& c : cases) EXPECT_EQ(AppRunner::engineSwitches(c.options), c.switches) << c.options;
}

TEST(AppRunnerTest, AppEnvironmentNumbersTheSwitchesFromOneAndSetsTheLocale) {
    AppRunner runner{WineEnvironment{}, Profile::defaultProfile(), std::nullopt};
    runner.profile.locale = "pt-BR";
    EXPECT_EQ(runner.appEnvironment({"enable-impeller=false", "trace-startup"}),
              (Environment{{"FLUTTER_ENGINE_SWITCHES", "2"},
                           {"FLUTTER_ENGINE_SWITCH_1", "enable-impeller=false"},
                           {"FLUTTER_ENGINE_SWITCH_2", "trace-startup"},
                           {"LANG", "pt_BR.UTF-8"},
                           {"LC_ALL", "pt_BR.UTF-8"},
                           {"LC_MESSAGES", "pt_BR.UTF-8"}}));
    EXPECT_EQ(runner.appEnvironment({}).at("FLUTTER_ENGINE_SWITCHES"), "0");
}

TEST(AppRunnerTest, ALocaleThisSystemLacksRunsWithUTF8DataUnderItsNameAndSaysWhatToGenerate) {
    const TempDir temp;
    testing::writeFile(temp / "C.utf8" / "LC_CTYPE", "data");
    const fs::path aliases = temp / "prefix" / "torvex-locales";
    const std::string generate =
        "Generate de_DE.UTF-8 for the full locale: `sudo apt-get install locales`, then `sudo dpkg-reconfigure locales`.";
    const auto named = [](const std::string& locale) {
        return Environment{{"LANG", locale}, {"LC_ALL", locale}, {"LC_MESSAGES", locale}};
    };
    Environment aliased = named("de_DE.UTF-8");
    aliased["LOCPATH"] = aliases.string();
    const struct {
        const char* name;
        std::string locale;
        std::vector<std::string> generated;  // what this system has
        std::vector<fs::path> data;          // where C.UTF-8's data may be
        std::function<void()> before;
        Environment variables;
        std::optional<std::string> notice;
    } cases[] = {
        {"generated", "de-DE", {"de_DE.UTF-8", "C.UTF-8"}, {temp / "C.utf8"}, [] {}, named("de_DE.UTF-8"), std::nullopt},
        {"missing: C.UTF-8's data under its name", "de-DE", {"C.UTF-8"}, {temp / "none", temp / "C.utf8"}, [] {}, aliased,
         "Torvex: this system has no locale de_DE.UTF-8; the app runs in de-DE with C.UTF-8's characters. " + generate},
        {"missing: an old link is replaced", "de-DE", {"C.UTF-8"}, {temp / "C.utf8"},
         [&] {
             fs::create_directories(aliases);
             fs::create_symlink(temp / "gone", aliases / "de_DE.UTF-8");
         },
         aliased, "Torvex: this system has no locale de_DE.UTF-8; the app runs in de-DE with C.UTF-8's characters. " + generate},
        {"missing, no C.UTF-8 data: C.UTF-8 itself", "de-DE", {"C.UTF-8"}, {temp / "none"}, [] {}, named("C.UTF-8"),
         "Torvex: this system has no locale de_DE.UTF-8; the app runs in C.UTF-8 (English) instead. " + generate},
        {"missing, the links' folder blocked", "de-DE", {"C.UTF-8"}, {temp / "C.utf8"},
         [&] { testing::writeFile(aliases, "a file"); }, named("C.UTF-8"),
         "Torvex: this system has no locale de_DE.UTF-8; the app runs in C.UTF-8 (English) instead. " + generate},
        {"missing, and no C.UTF-8 at all", "de-DE", {}, {temp / "none"}, [] {}, named("de_DE.UTF-8"),
         "Torvex: this system has no locale de_DE.UTF-8 and no C.UTF-8; the app's paths may lose every character "
         "outside ASCII. " + generate},
        {"a locale that names no file", "../x", {"C.UTF-8"}, {temp / "C.utf8"}, [] {}, named("C.UTF-8"),
         "Torvex: this system has no locale ../x.UTF-8; the app runs in C.UTF-8 (English) instead. Generate "
         "../x.UTF-8 for the full locale: `sudo apt-get install locales`, then `sudo dpkg-reconfigure locales`."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove_all(temp / "prefix", ignored);
        c.before();
        Profile profile = Profile::defaultProfile();
        profile.locale = c.locale;
        const LocaleSystem system{[&](const std::string& name) {
                                      return std::find(c.generated.begin(), c.generated.end(), name) != c.generated.end();
                                  },
                                  c.data};
        const AppLocale locale = AppLocale::forProfile(profile, aliases, system);
        EXPECT_EQ(locale.variables, c.variables);
        EXPECT_EQ(locale.notice, c.notice);
        if (c.variables.count("LOCPATH")) {
            EXPECT_EQ(fs::read_symlink(aliases / "de_DE.UTF-8"), temp / "C.utf8");
            EXPECT_EQ(AppLocale::forProfile(profile, aliases, system).variables, c.variables);  // again: the same link
        }
    }
    EXPECT_FALSE(fs::exists(temp / "x.UTF-8"));
}

// A fake Wine, a prefix and the installed app "demo" (binary demo.exe) in its folder.
struct RunRig {
    RunRig() { fs::create_directories(appFolder()); }

    fs::path appFolder() const { return InstalledApp::directory(app.name, wine); }
    void initialisedWithDPI(const std::string& dpi) const {
        testing::writePreparedPrefix(wine.prefix);
        testing::writeFile(wine.prefix / "torvex-dpi", dpi);
    }
    std::string helperSelector() const { return "wine " + helper.executable.string(); }
    std::vector<std::string> resizeCall() const {
        return {"wine", helper.executable.string(), "resize", std::to_string(profile.width), std::to_string(profile.height)};
    }
    std::size_t helperCalls() const {
        const auto calls = fake.argvs();
        return std::count(calls.begin(), calls.end(), resizeCall());
    }
    // Every locale counts as generated, so that the runs do not depend on this machine's.
    AppRunner runner(std::optional<WindowsHelper> withHelper = std::nullopt) const {
        AppRunner runner{wine, profile, std::move(withHelper)};
        runner.locales.has = [](const std::string&) { return true; };
        return runner;
    }
    // Requests `stop` once the fake Wine has logged `starts` starts.
    std::jthread stopAfterStarts(std::size_t starts, std::stop_source& stop) const {
        return std::jthread([this, starts, &stop] {
            if (eventually([&] { return fake.argvs().size() == starts; })) stop.request_stop();
        });
    }

    TempDir temp;
    ScopedVariable display{"DISPLAY", ":torvex-test"};
    FakeWine fake{temp / "fake wine"};
    WineEnvironment wine{fake.bin(), temp / "support/prefixes/default", std::nullopt};
    Profile profile{"default", "Windows 11", 96, 900, 600, Profile::Theme::light, "en-US"};
    InstalledApp app{"demo", "demo", "/projects/demo"};
    WindowsHelper helper{temp / "helper" / "torvex-helper.exe"};
    OutputLines lines;
};

class AppRunnerRun : public ::testing::Test, protected RunRig {};

TEST(AppRunnerTest, PreparesRunsTheAppAndEndsEveryWineProcessInThisOrder) {
    const std::string creating = "Torvex: Creating the Windows environment (first run only)\u2026";
    const struct {
        std::string name;
        std::function<void(RunRig&)> arrange;
        Calls calls;
        std::vector<std::string> errorLines;
    } cases[] = {
        {"a new prefix (the app's folder in it): created, DPI 144 and dark theme written",
         [](RunRig& t) {
             t.profile.dpi = 144;
             t.profile.theme = Profile::Theme::dark;
         },
         {killCall, waitCall, bootCall, waitCall, killCall, waitCall,
          {"wine", "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", "144", "/f"},
          killCall, waitCall, serverCall, themeImport("0"), appCall, killCall, waitCall},
         {creating, "warning: from the app"}},
        {"a prefix with the same DPI: no progress line",
         [](RunRig& t) { t.initialisedWithDPI("96"); },
         {killCall, waitCall, serverCall, themeImport("1"), appCall, killCall, waitCall},
         {"warning: from the app"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunRig t;
        c.arrange(t);
        t.fake.behave("wine cmd", {.standardOutput = {"first", "The Dart VM service is listening on http://127.0.0.1:1/a=/"},
                                   .standardError = {"warning: from the app"},
                                   .exitCode = 3});
        t.profile.locale = "de-DE";
        const std::int32_t code = t.runner().run(t.app, {"enable-impeller=false", "trace-startup"}, t.lines.sink());

        EXPECT_EQ(code, 3);
        EXPECT_EQ(t.fake.argvs(), c.calls);
        EXPECT_EQ(t.lines.texts(OutputStreamKind::standardOutput),
                  (std::vector<std::string>{"first", "The Dart VM service is listening on http://127.0.0.1:1/a=/"}));
        EXPECT_EQ(t.lines.texts(OutputStreamKind::standardError), c.errorLines);
        if (c.errorLines.front() == creating) {
            EXPECT_EQ(t.lines.all().front().text, creating);  // before any line of the app
        }

        const auto calls = t.fake.calls();
        const auto started = std::find_if(calls.begin(), calls.end(), [](const auto& call) { return call.argv() == appCall; });
        ASSERT_NE(started, calls.end());
        EXPECT_EQ(started->cwd, t.appFolder());
        EXPECT_EQ(started->environment,
                  (std::map<std::string, std::string>{{"WINEPREFIX", t.wine.prefix.string()},
                                                      {"WINEDEBUG", t.wine.environment().at("WINEDEBUG")},
                                                      {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                                                      {"DXVK_LOG_LEVEL", "none"},
                                                      {"MVK_CONFIG_LOG_LEVEL", "1"},
                                                      {"LANG", "de_DE.UTF-8"},
                                                      {"LC_ALL", "de_DE.UTF-8"},
                                                      {"LC_MESSAGES", "de_DE.UTF-8"},
                                                      {"FLUTTER_ENGINE_SWITCHES", "2"},
                                                      {"FLUTTER_ENGINE_SWITCH_1", "enable-impeller=false"},
                                                      {"FLUTTER_ENGINE_SWITCH_2", "trace-startup"}}));
    }
}

TEST(AppRunnerTest, WithoutAnXDisplayOneLineSaysSoBeforeTheAppStarts) {
    const std::string noDisplay = "Torvex: no X display (DISPLAY is not set); the app's window cannot open. End this "
                                  "Torvex host with `kill " + std::to_string(::getpid()) +
                                  "`; the next `torvex` command starts a new one with that command's DISPLAY.";
    const struct {
        std::optional<std::string> display, wayland;
        bool warned;
    } cases[] = {
        {std::nullopt, std::nullopt, true},
        {"", "", true},
        {":7", std::nullopt, false},
        {std::nullopt, "wayland-0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.display.value_or("(unset)") + " " + c.wayland.value_or("(unset)"));
        RunRig t;
        t.initialisedWithDPI("96");
        const ScopedVariable display("DISPLAY", c.display), wayland("WAYLAND_DISPLAY", c.wayland);
        t.fake.behave("wine cmd", {.standardError = {"from the app"}});
        EXPECT_EQ(t.runner().run(t.app, {}, t.lines.sink()), 0);
        std::vector<std::string> expected{"from the app"};
        if (c.warned) expected.insert(expected.begin(), noDisplay);
        EXPECT_EQ(t.lines.texts(OutputStreamKind::standardError), expected);
    }
}

TEST_F(AppRunnerRun, TheHelperIsTriedEveryHalfSecondUntilTheWindowIsResized) {
    initialisedWithDPI("96");
    fake.behave(helperSelector(), {.exitCode = 0, .firstExitCodes = {2, 2, 2, 2, 2, 2, 2, 2, 2}});
    fake.behave("wine cmd", {.waitForSignal = true});
    std::stop_source stop;
    const auto began = Clock::now();
    std::jthread running([&] { EXPECT_EQ(runner(helper).run(app, {}, lines.sink(), stop.get_token()), 143); });

    ASSERT_TRUE(eventually([&] { return helperCalls() == 10; }, 30s)) << helperCalls();
    EXPECT_GE(Clock::now() - began, 4500ms);  // nine waits
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(helperCalls(), 10u);  // the tenth succeeded
    stop.request_stop();
    running.join();
    EXPECT_EQ(fake.argvs().back(), waitCall);
}

TEST_F(AppRunnerRun, CancellingEndsTheAppAndTheFinalKillStillRuns) {
    initialisedWithDPI("96");
    fake.behave("wine cmd", {.waitForSignal = true});
    std::stop_source stop;
    const std::jthread canceller = stopAfterStarts(5, stop);
    EXPECT_EQ(runner().run(app, {}, lines.sink(), stop.get_token()), 143);
    EXPECT_EQ(fake.argvs(), (Calls{killCall, waitCall, serverCall, themeImport("1"), appCall, killCall, waitCall}));
}

TEST_F(AppRunnerRun, AWineServerThatEndsWhileTheAppRunsEndsTheRunWithALineWhy) {
    initialisedWithDPI("96");
    fake.behave("wine cmd", {.waitForSignal = true});
    // Wine's server, as the process table shows one: a program named wineserver in the prefix. It
    // ends by itself after two seconds, as a killed server does.
    const fs::path server = temp / "server" / "wineserver";
    fs::create_directories(server.parent_path());
    fs::copy_file("/bin/sleep", server);
    AppRunner watching = runner();
    watching.serverCheckInterval = 100ms;
    std::stop_source stop;
    std::jthread running([&] {
        const auto began = Clock::now();
        EXPECT_EQ(watching.run(app, {}, lines.sink(), stop.get_token()), 143);
        EXPECT_LT(Clock::now() - began, 15s);
    });
    // The prefix's steps, then the app: killAll's two calls, the server's start and the theme's import.
    constexpr std::size_t beforeTheApp = 4;
    ASSERT_TRUE(eventually([&] { return fake.argvs().size() == beforeTheApp + 1; }, 20s));  // the app runs
    std::vector<std::string> argv{server.string(), "2"};
    std::vector<std::string> environment = testing::mergedEnvironment({{"WINEPREFIX", wine.prefix.string()}});
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, server.c_str(), nullptr, nullptr, testing::pointers(argv).data(),
                            testing::pointers(environment).data()),
              0);
    const std::jthread reaper([pid] { ::waitpid(pid, nullptr, 0); });

    const bool said = lines.waitFor(
        [](const OutputLine& line) {
            return line.stream == OutputStreamKind::standardError &&
                   line.text.starts_with("Torvex: the Wine server of demo's Windows environment (pid ") &&
                   line.text.ends_with(") ended while the app ran; the app cannot go on without it, so it was ended. "
                                       "Run it again.");
        },
        20s);
    EXPECT_TRUE(said) << "no line says why";
    if (!said) stop.request_stop();
    running.join();
    const Calls calls = fake.argvs();
    EXPECT_EQ(Calls(calls.begin() + beforeTheApp + 1, calls.end()), (Calls{killCall, waitCall}));
}

TEST_F(AppRunnerRun, CancellingWhilePreparingThrowsAfterEndingTheWineProcesses) {
    initialisedWithDPI("96");
    fake.behave("wine reg", {.waitForSignal = true});
    std::stop_source stop;
    const std::jthread canceller = stopAfterStarts(4, stop);
    EXPECT_THROW(runner(helper).run(app, {}, lines.sink(), stop.get_token()), Cancelled);
    EXPECT_EQ(fake.argvs(), (Calls{killCall, waitCall, serverCall, themeImport("1"), killCall, waitCall}));
}

TEST_F(AppRunnerRun, TheAppsEndStopsTheWindowSizeTaskBeforeTheFinalKill) {
    initialisedWithDPI("96");
    fake.behave(helperSelector(), {.exitCode = 2});
    fake.behave("wine cmd", {.exitCode = 0});
    EXPECT_EQ(runner(helper).run(app, {}, lines.sink()), 0);
    const Calls atEnd = fake.argvs();
    ASSERT_GE(atEnd.size(), 2u);
    EXPECT_EQ(Calls(atEnd.end() - 2, atEnd.end()), (Calls{killCall, waitCall}));
    EXPECT_LE(helperCalls(), 2u);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(fake.argvs(), atEnd);  // no try after the run
}

TEST_F(AppRunnerRun, AnAppThatCannotStartThrowsAndNoFinalKillRuns) {
    initialisedWithDPI("96");
    fs::remove_all(appFolder());  // its working folder
    const TorvexError error = testing::errorOf([&] { runner().run(app, {}, lines.sink()); });
    EXPECT_EQ(error.what, "Could not start " + wine.wine().string() + ".");
    EXPECT_EQ(fake.argvs(), (Calls{killCall, waitCall, serverCall, themeImport("1")}));
}

TEST_F(AppRunnerRun, ABinaryNameTheCommandInterpreterWouldMisreadStartsNothing) {
    for (const std::string name : {"demo&calc", "50%done%", "a|b", "../demo", ""}) {
        SCOPED_TRACE(name);
        app.binaryName = name;
        const TorvexError error = testing::errorOf([&] { runner(helper).run(app, {}, lines.sink()); });
        EXPECT_EQ(error.what, "Could not run demo.");
        EXPECT_NE(error.why.find("\"" + name + "\""), std::string::npos) << error.why;
        EXPECT_NE(error.fix.find("BINARY_NAME"), std::string::npos);
    }
    EXPECT_TRUE(fake.argvs().empty());
}

TEST(AppRunnerTest, TheWindowSizeLoopEndsOnSuccessAfterItsTriesOrWhenStopped) {
    struct Case {
        std::string name;
        bool withHelper;
        std::optional<int> exitCode;  // of every try; none: exit 2 twice, then 0
        bool stoppedFirst;
        std::size_t tries;
        bool wineMissing = false;
    };
    const std::vector<Case> cases = {
        {"no helper: no try", false, 2, false, 0},
        {"success on the third try", true, std::nullopt, false, 3},
        {"four failures: gives up", true, 2, false, 4},
        {"stopped before: no try", true, 2, true, 0},
        {"a helper that cannot start: tries end without an error", true, 2, false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunRig t;
        if (c.exitCode) t.fake.behave(t.helperSelector(), {.exitCode = *c.exitCode});
        else t.fake.behave(t.helperSelector(), {.exitCode = 0, .firstExitCodes = {2, 2}});
        AppRunner runner = t.runner(c.withHelper ? std::optional(t.helper) : std::nullopt);
        runner.resizeTries = 4;
        runner.resizeInterval = 10ms;
        std::stop_source stop;
        if (c.stoppedFirst) stop.request_stop();
        if (c.wineMissing) fs::remove(t.wine.wine());
        runner.applyWindowSizeWhenReady(stop.get_token());
        EXPECT_EQ(t.helperCalls(), c.tries);
    }
}

TEST_F(AppRunnerRun, AStopEndsTheWaitBetweenTries) {
    fake.behave(helperSelector(), {.exitCode = 2});
    AppRunner slow = runner(helper);
    slow.resizeInterval = 60s;
    std::jthread loop([&](std::stop_token stop) { slow.applyWindowSizeWhenReady(stop); });
    ASSERT_TRUE(eventually([&] { return helperCalls() == 1; }));
    const auto stopped = Clock::now();
    loop.request_stop();
    loop.join();
    EXPECT_LT(Clock::now() - stopped, 5s);
    EXPECT_EQ(helperCalls(), 1u);
}

} // namespace
} // namespace torvex
