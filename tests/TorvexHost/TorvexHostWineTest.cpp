// The real torvex-host with Debian's real Wine (labels `wine` and `e2e`): a copy of examples/hello
// built, installed, run, captured and stopped through the socket, as the Flutter tool drives it.

#include "Core/Base64.h"
#include "Runtime/WindowCapture.h"
#include "Service/IPCClient.h"
#include "Service/Messages.h"
#include "support/BuildRig.h"
#include "support/DecodedPNG.h"
#include "support/Eventually.h"
#include "support/RealWine.h"
#include "support/RunningHost.h"
#include "support/ServiceFixture.h"
#include "support/StandInView.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <functional>
#include <future>
#include <mutex>
#include <optional>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* appName = "host-hello";

class TorvexHostWine : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = RealWine::missing()) GTEST_SKIP() << *why;
        if (auto why = BuildRig::missingTool()) GTEST_SKIP() << *why;
        real.emplace();
        rig.emplace(real->folder());  // the toolchain, engine and SDK under the same roots as the prefix
        TorvexConfig config;
        config.profiles = {Profile{RealWine::profileID, "Wine tests", 96, 1280, 720, Profile::Theme::light, "en-US"}};
        config.currentProfileID = RealWine::profileID;
        config.save(real->paths());

        const TorvexPaths& paths = real->paths();
        // DISPLAY (the test's Xvfb), TORVEX_CC and the engine's address come from this process.
        host.emplace(real->folder(), std::map<std::string, std::string>{
                                         {"TORVEX_SOCKET", socket().string()},
                                         {"TORVEX_SUPPORT_DIR", paths.support.string()},
                                         {"TORVEX_CACHES_DIR", paths.caches.string()},
                                         {"TORVEX_LOGS_DIR", paths.logs.string()},
                                         {"TORVEX_WINE_BIN", "/usr/bin"},
                                         {"HOME", (real->folder() / "home").string()}},
                     std::vector<std::string>{"--control-stdin"});
        ASSERT_TRUE(host->waitFor("listening")) << host->output();
    }

    fs::path socket() const { return real->folder() / "h.sock"; }
    ServiceAnswer request(const std::string& cmd, const IPCRequest::Arguments& args = {}) const {
        return requestOver(socket(), IPCRequest(cmd, args));
    }
    IPCRequest::Arguments project() const {
        return {.project = rig->project().string(), .flutterRoot = rig->sdkRoot().string()};
    }
    // The host's log lines so far, for failure messages.
    std::string logged() const {
        std::string text;
        for (const auto& event : host->events()) {
            if (event.value("event", "") == "log") text += event.value("text", "") + "\n";
        }
        return text;
    }

    std::optional<RealWine> real;
    std::optional<BuildRig> rig;
    std::optional<RunningHost> host;  // ended first, while its display and prefix still exist
};

} // namespace

TEST_F(TorvexHostWine, TheExampleIsBuiltInstalledRunAttachedCapturedAndStopped) {
    const ServiceAnswer built = request("build", project());
    ASSERT_EQ(built.value, (rig->workFolder() / "out").string()) << (built.error ? built.error->description() : "");
    const ServiceAnswer installed = request("install", {.project = rig->project().string(), .appName = appName});
    ASSERT_FALSE(installed.error) << installed.error->description();

    std::mutex lock;
    std::vector<std::string> streamed;
    auto run = std::async(std::launch::async, [&] {
        return requestOver(socket(), IPCRequest("run", {.appName = appName}), [&](const OutputLine& line) {
            const std::lock_guard guard(lock);
            streamed.push_back(line.text);
        });
    });
    // A failed assertion below still ends the attached run, so that waiting for it ends too.
    struct StopOnExit {
        std::function<void()> stop;
        ~StopOnExit() { stop(); }
    } const stopOnExit{[this] { (void)request("stop"); }};
    const auto saw = [&](const std::string& start) {
        const std::lock_guard guard(lock);
        return std::any_of(streamed.begin(), streamed.end(), [&](const std::string& line) {
            return line.starts_with(start);
        });
    };
    ASSERT_TRUE(eventually([&] { return saw("The Dart VM service is listening on http://127.0.0.1:"); }, 120s))
        << logged();
    EXPECT_TRUE(saw("hello: runner started"));

    const auto status = request("status").value.value_or("");
    EXPECT_NE(status.find(R"("app":"host-hello","attached":true)"), std::string::npos) << status;
    EXPECT_NE(status.find(R"("status":"Running host-hello")"), std::string::npos) << status;

    // The screenshot is the app window's picture, at its size, showing the engine's view (taken
    // again while the window still settles into the profile's size and paints).
    ASSERT_TRUE(eventually([] { return WindowCapture::find("hello").has_value(); }, 60s)) << logged();
    bool sized = false;
    std::optional<std::string> mismatch = "no picture";
    for (int attempt = 0; attempt < 20 && !(sized && !mismatch); ++attempt) {
        const auto before = WindowCapture::find("hello");
        const ServiceAnswer shot = request("screenshot");
        ASSERT_TRUE(shot.value) << shot.error->description();
        const auto png = decodePNG(decodedBase64(*shot.value).value_or(""));
        ASSERT_TRUE(png) << "the answer is a PNG";
        const auto after = WindowCapture::find("hello");
        sized = before && before == after && png->width == std::uint32_t(before->bounds.width) &&
                png->height == std::uint32_t(before->bounds.height);
        mismatch = standInViewMismatch(*png);
        if (!sized || mismatch) std::this_thread::sleep_for(500ms);
    }
    EXPECT_TRUE(sized) << "the PNG has the window's size";
    EXPECT_FALSE(mismatch) << *mismatch;
    // The host's own screenshot goes into the capture folder.
    host->send(R"({"command":"screenshot","id":"shot"})");
    const auto saved = host->waitFor("screenshot", 30s);
    ASSERT_TRUE(saved && saved->value("ok", false)) << host->output();
    EXPECT_EQ(fs::path((*saved)["file"]).parent_path(), real->folder() / "home" / "Desktop");
    const auto savedPNG = decodePNG(readFile((*saved)["file"].get<std::string>()));
    ASSERT_TRUE(savedPNG);
    EXPECT_EQ(standInViewMismatch(*savedPNG), std::nullopt);

    const ServiceAnswer stopped = request("stop");
    EXPECT_FALSE(stopped.error);
    ASSERT_EQ(run.wait_for(60s), std::future_status::ready);
    const ServiceAnswer ran = run.get();
    ASSERT_TRUE(ran.value) << (ran.error ? ran.error->description() : "");
    EXPECT_NO_THROW((void)std::stoi(*ran.value)) << "the app's exit code: " << *ran.value;
    EXPECT_FALSE(WindowCapture::find("hello")) << "the app has ended";
    EXPECT_EQ(request("status").value.value_or("").find("Running"), std::string::npos);
}

TEST_F(TorvexHostWine, SIGTERMLeavesNoAppOrWineProcessOfItsPrefix) {
    const ServiceAnswer opened = request("open", project());
    ASSERT_FALSE(opened.error) << opened.error->description();
    ASSERT_TRUE(eventually([] { return WindowCapture::find("hello").has_value(); }, 120s)) << logged();
    ASSERT_FALSE(real->prefixProcesses().empty());

    EXPECT_EQ(host->end(SIGTERM, 60s), 0) << host->output();
    EXPECT_EQ(host->events().back().value("event", ""), "stopped");
    EXPECT_TRUE(eventually([&] { return real->prefixProcesses().empty(); }, 20s))
        << real->prefixProcesses().size() << " processes of the prefix remain";
}
