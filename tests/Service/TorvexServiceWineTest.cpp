// The service with Debian's real Wine (label `wine`): the test app run attached over the socket.
#include "Service/TorvexService.h"

#include "Runtime/WindowsHelper.h"
#include "support/Eventually.h"
#include "support/RealWineTest.h"
#include "support/ServiceFixture.h"
#include "support/TestApp.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace torvex {
namespace {
namespace fs = std::filesystem;
namespace TestApp = testing::TestApp;
using testing::RealWine;
using testing::ServiceAnswer;
using namespace std::chrono_literals;

class TorvexServiceWine : public testing::RealWineTest {
protected:
    void SetUp() override {
        RealWineTest::SetUp();
        if (IsSkipped()) return;
        const TorvexPaths& paths = real->paths();
        // The toolchain the service finds for its Windows helper, which is built here first.
        const fs::path mingw = TestApp::mingwRoot(work());
        WindowsHelper::ensure(paths, Toolchain{"local", mingw, {}, {}, {}});
        const fs::path toolchain = paths.toolchains() / "local";
        fs::create_directories(toolchain);
        fs::create_directory_symlink(mingw, toolchain / "llvm-mingw");
        testing::writeScript(toolchain / "cmake/bin/cmake", "exit 0");
        testing::writeScript(toolchain / "bin/ninja", "exit 0");
        testing::writeScript(real->folder() / "torvex-cc", "exit 0");

        project = TestApp::buildProject(real->folder() / "project", paths, work());
        TorvexConfig config;
        config.profiles = {Profile{RealWine::profileID, "Wine tests", 96, 900, 600, Profile::Theme::light, "de-DE"}};
        config.currentProfileID = RealWine::profileID;
        config.save(paths);

        TorvexService::Dependencies dependencies;
        dependencies.environment = Environment{{"TORVEX_WINE_BIN", "/usr/bin"},
                                               {"TORVEX_CC", (real->folder() / "torvex-cc").string()}};
        service = TorvexService::create(paths, dependencies);
        service->setEventSink(events.sink());
        server.emplace(service, real->folder() / "s.sock");
    }
    void TearDown() override {
        if (service) service->stop();
    }

    // The app's lines the host has seen so far, for failure messages.
    std::string shown() const {
        std::string text;
        for (const auto& line : events.lines()) text += line.text + "\n";
        return text;
    }

    fs::path project;
    std::shared_ptr<TorvexService> service;
    testing::ServiceEvents events;
    std::optional<testing::ServiceServer> server;
};

TEST_F(TorvexServiceWine, AnAttachedRunStreamsTheAppsLinesAndCodeAndAThemeChangeReachesItLive) {
    ASSERT_FALSE(server->request("install", {.project = project.string(), .appName = "service-app"}).error);

    const ServiceAnswer quick =
        server->request("run", {.appName = "service-app", .engineOptions = "--quit-after-ms=1500 --exit-code=7"});
    EXPECT_EQ(quick.value, "7") << (quick.error ? quick.error->what : shown());
    const auto has = [&](const std::function<bool(const std::string&)>& matches) {
        return std::any_of(quick.lines.begin(), quick.lines.end(),
                           [&](const OutputLine& line) { return matches(line.text); });
    };
    EXPECT_TRUE(has([](const std::string& text) { return text == "locale=de-DE"; }));
    EXPECT_TRUE(has([](const std::string& text) { return text == "window=closed"; }));
    EXPECT_TRUE(has([](const std::string& text) { return text.starts_with("The Dart VM service is listening on"); }));
    EXPECT_TRUE(events.waitForLine("test_app exited (code 7)"));

    auto running = std::async(std::launch::async, [&] {
        return server->request("run", {.appName = "service-app", .engineOptions = "--quit-after-ms=120000"});
    });
    ASSERT_TRUE(events.waitForLine("window=open", 90s, 2)) << shown();  // the second app's window
    ASSERT_FALSE(server->request("profile-set", {.theme = "dark"}).error);
    EXPECT_TRUE(events.waitForLine("setting=ImmersiveColorSet AppsUseLightTheme=0", 30s)) << shown();
    EXPECT_TRUE(events.waitForLine("colorization=changed")) << shown();

    service->stop();
    const ServiceAnswer ended = running.get();
    EXPECT_EQ(ended.value, "143") << (ended.error ? ended.error->what : "");
    EXPECT_TRUE(testing::eventually([&] { return real->prefixProcesses().empty(); }, 30s));
}

} // namespace
} // namespace torvex
