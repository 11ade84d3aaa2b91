// The app runner, the Windows helper and the window capture under Debian's real Wine (label `wine`).
#include "Runtime/AppRunner.h"
#include "Build/BuildPipeline.h"
#include "Core/Platform/ProcessTree.h"
#include "Core/TextPattern.h"
#include "Runtime/InstalledApp.h"
#include "Runtime/Platform/ScreenCapture.h"
#include "Runtime/WindowCapture.h"
#include "Runtime/WindowsHelper.h"
#include "support/BuildRig.h"
#include "support/DecodedPNG.h"
#include "support/Eventually.h"
#include "support/OutputLines.h"
#include "support/RealWineTest.h"
#include "support/TestApp.h"
#include "support/TestSupport.h"
#include "support/WindowsProgram.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::OutputLines;
using testing::RealWine;
namespace TestApp = testing::TestApp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const TextPattern vmServiceLine(R"(^The Dart VM service is listening on http://127\.0\.0\.1:\d+/[^/\s]+=/$)");

bool isVMServiceLine(const OutputLine& line) { return vmServiceLine.firstMatch(line.text).has_value(); }

// AppRunner::run on a thread of its own; stopped (and awaited) at the end of the scope.
class RunningApp {
public:
    RunningApp(const AppRunner& runner, const InstalledApp& app, const std::vector<std::string>& switches,
               const OutputLines& lines)
        : result_(std::async(std::launch::async, [=, stop = stop_.get_token()] {
              return runner.run(app, switches, lines.sink(), stop);
          })) {}
    ~RunningApp() { stop_.request_stop(); }

    void cancel() { stop_.request_stop(); }
    // The run's exit code once it has ended, or none after `timeout`; rethrows its error.
    std::optional<std::int32_t> exitCode(std::chrono::seconds timeout) {
        if (result_.wait_for(timeout) != std::future_status::ready) return std::nullopt;
        return result_.get();
    }

private:
    std::stop_source stop_;
    std::future<std::int32_t> result_;  // its destructor waits for the run
};

class AppRunnerWine : public testing::RealWineTest {
protected:
    void SetUp() override {
        RealWineTest::SetUp();
        if (IsSkipped()) return;
        helper = WindowsHelper::ensure(real->paths(), Toolchain{"local", TestApp::mingwRoot(work()), {}, {}, {}});
        // A space in the folder's name: `cmd /c` must take the whole path as the program.
        app = InstalledApp::install("runner app", TestApp::buildProject(real->folder() / "project", real->paths(), work()),
                                    wine, real->paths());
    }

    AppRunner runner(bool withHelper = true) const {
        return AppRunner{wine, profile, withHelper ? std::optional(helper) : std::nullopt};
    }
    // The stdout texts so far, for failure messages.
    std::string shown() const {
        std::string text;
        for (const auto& line : lines.all()) text += std::string(streamName(line.stream)) + ": " + line.text + "\n";
        return text;
    }

    WindowsHelper helper;
    InstalledApp app;
    Profile profile{"wine-tests", "Wine tests", 96, 900, 600, Profile::Theme::light, "de-DE"};
    OutputLines lines;
};

TEST_F(AppRunnerWine, LinesArriveInOrderAndTheExitCodeComesBack) {
    const std::int32_t code = runner().run(app, {"quit-after-ms=1500", "exit-code=7"}, lines.sink());
    EXPECT_EQ(code, 7) << shown();

    const auto out = lines.texts(OutputStreamKind::standardOutput);
    const auto position = [&](const std::function<bool(const std::string&)>& matches) {
        return std::find_if(out.begin(), out.end(), matches) - out.begin();
    };
    const auto at = [&](const std::string& text) { return position([&](const std::string& line) { return line == text; }); };
    const auto vm = position([](const std::string& line) { return isVMServiceLine({OutputStreamKind::standardOutput, line}); });
    const std::vector<std::ptrdiff_t> order = {
        at("locale=de-DE"), at("logpixelsx=96"), at("AppsUseLightTheme=1"), at("d3d11=system"),
        at("FLUTTER_ENGINE_SWITCH_1=quit-after-ms=1500"), vm, at("window=open"), at("window=closed")};
    EXPECT_LT(order.back(), static_cast<std::ptrdiff_t>(out.size())) << shown();
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) &&
                std::adjacent_find(order.begin(), order.end()) == order.end())
        << shown();
    EXPECT_EQ(out.back(), "window=closed") << shown();
}

TEST_F(AppRunnerWine, AnAppInAFolderBeyondASCIIRunsInItsLanguageWhenTheSystemLacksTheLocale) {
    // Whatever this machine has generated, de_DE.UTF-8 counts as missing.
    AppRunner lacking = runner(false);
    if (!fs::exists(lacking.locales.utf8Data.front() / "LC_CTYPE")) GTEST_SKIP() << "no C.UTF-8 locale data here";
    lacking.locales.has = [](const std::string& name) {
        return name != "de_DE.UTF-8" && LocaleSystem::hasSystemLocale(name);
    };
    const InstalledApp umlaut = InstalledApp::install("Grüße", real->folder() / "project", wine, real->paths());

    const std::int32_t code = lacking.run(umlaut, {"quit-after-ms=1500", "exit-code=7"}, lines.sink());

    EXPECT_EQ(code, 7) << shown();  // it ran: its path kept the "ü"
    EXPECT_TRUE(lines.waitFor("locale=de-DE", 0ms)) << shown();
    const auto notices = lines.texts(OutputStreamKind::standardError);
    EXPECT_EQ(std::count_if(notices.begin(), notices.end(),
                            [](const std::string& line) {
                                return line.starts_with("Torvex: this system has no locale de_DE.UTF-8; the app runs "
                                                        "in de-DE with C.UTF-8's characters. Generate de_DE.UTF-8");
                            }),
              1)
        << shown();
}

TEST_F(AppRunnerWine, TheHelperAnswersWithItsExitCodes) {
    testing::expectPE32PlusForX64(helper.executable);
    const struct {
        std::vector<std::string> arguments;
        std::int32_t code;
    } beforeTheWindow[] = {
        {{"resize", "1280", "720"}, 2},
        {{"theme"}, 0},
        {{}, 1},
        {{"resize", "1280"}, 1},
        {{"size", "1280", "720"}, 1},
    }, withTheWindow[] = {
        {{"resize", "0", "720"}, 3},
        {{"resize", "abc", "720"}, 3},
        {{"resize", "1280", "-5"}, 3},
        {{"resize", "800", "500"}, 0},
        {{"theme", "extra"}, 0},
    };
    for (const auto& c : beforeTheWindow) EXPECT_EQ(helper.run(c.arguments, wine), c.code) << c.arguments.size();

    RunningApp running(runner(false), app, {"quit-after-ms=120000"}, lines);
    ASSERT_TRUE(lines.waitFor("window=open", 60s)) << shown();
    for (const auto& c : withTheWindow) {
        EXPECT_EQ(helper.run(c.arguments, wine), c.code) << (c.arguments.size() > 1 ? c.arguments[1] : "");
    }
    EXPECT_TRUE(lines.waitFor("size=800x500", 10s)) << shown();
}

TEST_F(AppRunnerWine, TheWindowTakesTheProfileSizeIsCapturedAndHearsATheme) {
    RunningApp running(runner(), app, {"quit-after-ms=120000"}, lines);
    ASSERT_TRUE(lines.waitFor("size=900x600", 60s)) << shown();

    const auto window = WindowCapture::find(std::string("test_app"));
    ASSERT_TRUE(window) << shown();
    EXPECT_TRUE(window->isOnScreen);
    const auto width = static_cast<std::uint32_t>(window->bounds.width);
    const auto height = static_cast<std::uint32_t>(window->bounds.height);
    // Wine's X window is the client area.
    EXPECT_TRUE(lines.waitFor("client=" + std::to_string(width) + "x" + std::to_string(height), 10s)) << shown();

    // Every pixel in its quadrant's colour, once the app has painted its new size.
    std::optional<testing::DecodedPNG> png;
    std::size_t wrong = 0;
    const auto deadline = Clock::now() + 15s;
    do {
        png = testing::decodePNG(windowPNG(window->id));
        ASSERT_TRUE(png);
        ASSERT_EQ(png->width, width);
        ASSERT_EQ(png->height, height);
        wrong = 0;
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                const auto& colour = TestApp::quadrantColours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
                const testing::RGB expected{colour[0], colour[1], colour[2]};
                if (png->at(x, y) != expected) ++wrong;
            }
        }
        if (wrong != 0) std::this_thread::sleep_for(200ms);
    } while (wrong != 0 && Clock::now() < deadline);
    EXPECT_EQ(wrong, 0u);

    // What the service does when the profile's theme changes while the app runs.
    wine.applyTheme(Profile::Theme::dark);
    EXPECT_EQ(helper.run({"theme"}, wine), 0);
    EXPECT_TRUE(lines.waitFor("setting=ImmersiveColorSet AppsUseLightTheme=0", 10s)) << shown();
    EXPECT_TRUE(lines.waitFor("colorization=changed", 10s)) << shown();
}

TEST_F(AppRunnerWine, CancellingEndsTheAppAndEveryWineProcessOfThePrefix) {
    RunningApp running(runner(), app, {"quit-after-ms=120000"}, lines);
    ASSERT_TRUE(lines.waitFor("window=open", 60s)) << shown();
    EXPECT_FALSE(real->prefixProcesses().empty());

    running.cancel();
    EXPECT_EQ(running.exitCode(60s), 143) << shown();
    EXPECT_FALSE(lines.waitFor("window=closed", 0ms));
    EXPECT_TRUE(testing::eventually([&] { return real->prefixProcesses().empty(); }, 5s))
        << real->prefixProcesses().size() << " Wine processes of the prefix are left";
}

TEST_F(AppRunnerWine, EveryStartGetsTheProfilesThemeDPISizeAndLocale) {
    const struct {
        const char* name;
        Profile profile;
        std::function<void()> before;
        std::string lightTheme;
    } starts[] = {
        {"dark at 144 dpi", {"wine-tests", "Wine tests", 144, 800, 500, Profile::Theme::dark, "fr-FR"}, [] {}, "0"},
        {"light at 96 dpi", {"wine-tests", "Wine tests", 96, 900, 600, Profile::Theme::light, "de-DE"}, [] {}, "1"},
        {"light again, after something else made the theme dark",
         {"wine-tests", "Wine tests", 96, 1000, 640, Profile::Theme::light, "en-GB"},
         [&] { wine.applyTheme(Profile::Theme::dark); }, "1"},
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.name);
        start.before();
        const OutputLines out;
        const auto shownHere = [&] {
            std::string text;
            for (const auto& line : out.texts(OutputStreamKind::standardOutput)) text += line + "\n";
            return text;
        };
        const std::string size = std::to_string(start.profile.width) + "x" + std::to_string(start.profile.height);
        {
            RunningApp running(AppRunner{wine, start.profile, helper}, app, {"quit-after-ms=120000"}, out);
            EXPECT_TRUE(out.waitFor("size=" + size, 60s)) << shownHere();
            running.cancel();
            EXPECT_TRUE(running.exitCode(60s)) << shownHere();
        }
        auto report = TestApp::report(shownHere());
        EXPECT_EQ(report["locale"], start.profile.locale) << shownHere();
        EXPECT_EQ(report["logpixelsx"], std::to_string(start.profile.dpi)) << shownHere();
        EXPECT_EQ(report["AppsUseLightTheme"], start.lightTheme) << shownHere();
    }
}

// The prefix's Wine server processes.
std::vector<pid_t> servers(const RealWine& real) {
    std::vector<pid_t> found;
    for (const pid_t pid : real.prefixProcesses()) {
        const auto executable = processExecutable(pid);
        if (executable && executable->filename().string().starts_with("wineserver")) found.push_back(pid);
    }
    return found;
}

TEST_F(AppRunnerWine, TheSettingsServerOutlastsASlowStartOfTheApp) {
    // The run's steps before the app's start. On a slow machine the app's Wine connects seconds
    // later; a server it had to start itself (with the services) would hold the app's output.
    wine.killAll();
    wine.startServer();
    wine.applyTheme(Profile::Theme::light);
    const auto settings = servers(*real);
    ASSERT_EQ(settings.size(), 1u);
    // A server that a Wine program starts leaves within about 2 s of its last program.
    EXPECT_FALSE(testing::eventually([&] { return servers(*real) != settings; }, 6s)) << "the server left";
    EXPECT_EQ(ProcessRunner::shared().capture({wine.wine(), {"cmd", "/c", "echo", "started"}, wine.environment(), {}}).exitCode, 0);
    EXPECT_EQ(servers(*real), settings) << "the app's start needed a server of its own";
    wine.killAll();
    EXPECT_EQ(servers(*real), std::vector<pid_t>{});
}

TEST_F(AppRunnerWine, AKilledWineServerEndsTheRunWithALineWhyAndLeavesNothingOfThePrefix) {
    RunningApp running(runner(), app, {"quit-after-ms=120000"}, lines);
    ASSERT_TRUE(lines.waitFor("window=open", 60s)) << shown();

    // The server and Wine's services were started by the settings step, whose output went
    // nowhere: only the app's own processes hold its output.
    std::optional<pid_t> appGroup, server;
    for (const pid_t pid : real->prefixProcesses()) {
        const std::string commandLine = testing::readFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (commandLine.find("test_app.exe") != std::string::npos) appGroup = ::getpgid(pid);
        const auto executable = processExecutable(pid);
        if (executable && executable->filename().string().starts_with("wineserver")) server = pid;
    }
    ASSERT_TRUE(appGroup && server) << real->prefixProcesses().size() << " processes";
    for (const pid_t pid : real->prefixProcesses()) {
        if (::getpgid(pid) == *appGroup) continue;
        for (const char* fd : {"1", "2"}) {
            std::error_code error;
            const auto target = fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + fd, error).string();
            EXPECT_FALSE(target.starts_with("pipe:")) << pid << " holds " << target << " as " << fd;
        }
    }

    // Without their server, the prefix's processes would wait for ever: the run ends by itself and
    // says why.
    ASSERT_EQ(::kill(*server, SIGKILL), 0);
    const auto killed = Clock::now();
    const auto ended = running.exitCode(30s);
    EXPECT_TRUE(ended) << "the app still runs 30 s after its Wine server was killed; " << shown();
    if (ended) {
        EXPECT_LT(Clock::now() - killed, 15s);
    }
    running.cancel();
    EXPECT_TRUE(lines.waitFor(
        [](const OutputLine& line) {
            return line.stream == OutputStreamKind::standardError &&
                   line.text.starts_with("Torvex: the Wine server of test_app's Windows environment");
        },
        0ms));
    std::string left;
    for (const pid_t pid : real->prefixProcesses())
        left += " " + std::to_string(pid) + " " + testing::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    EXPECT_EQ(left, "");
}

TEST_F(AppRunnerWine, TheExampleAppBuiltByThePipelineRunsAndPrintsItsDartVMServiceLine) {
    if (auto why = testing::BuildRig::missingTool()) GTEST_SKIP() << *why;
    testing::BuildRig rig(real->folder() / "example");
    try {
        BuildPipeline{rig.paths(), [](const std::string&) {}}.build(rig.request());
    } catch (const TorvexError& error) {
        FAIL() << error.description();
    }
    const InstalledApp example = InstalledApp::install("example-app", rig.project(), wine, rig.paths());

    RunningApp running(runner(false), example, AppRunner::engineSwitches(""), lines);
    EXPECT_TRUE(lines.waitFor(isVMServiceLine, 90s)) << shown();
    running.cancel();
    EXPECT_TRUE(running.exitCode(60s)) << shown();
}

} // namespace
} // namespace torvex
