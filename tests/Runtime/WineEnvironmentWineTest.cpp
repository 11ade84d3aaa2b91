// Prefix settings and installed apps under Debian's real Wine (label `wine`).
#include "Runtime/InstalledApp.h"
#include "Runtime/WineEnvironment.h"
#include "support/RealWineTest.h"
#include "support/TestApp.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::RealWine;
using testing::SpawnResult;
namespace TestApp = testing::TestApp;

class WineEnvironmentWine : public testing::RealWineTest {
protected:
    // A Flutter-shaped project whose Windows build output is the test app, as test_app.exe.
    fs::path builtProject() const {
        return TestApp::buildProject(real->folder() / "projects" / "test app", real->paths(), work());
    }

    // The test app's report, run with plain wine; fails the test unless it exits with `code`.
    std::map<std::string, std::string> run(const WineEnvironment& environment, const InstalledApp& app, int code = 0) {
        const SpawnResult ran = real->run(environment, app.executable(environment), {std::to_string(code)});
        EXPECT_EQ(ran.status, code) << ran.out << ran.err;
        return TestApp::report(ran.out);
    }
};

TEST_F(WineEnvironmentWine, TheInstalledAppReadsTheDPIAndThemeOfTheProfile) {
    const InstalledApp app = InstalledApp::install("settings-app", builtProject(), wine, real->paths());
    const struct {
        std::int64_t dpi;
        Profile::Theme theme;
        std::string logPixels, lightTheme;
    } cases[] = {{144, Profile::Theme::dark, "144", "0"}, {96, Profile::Theme::light, "96", "1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dpi);
        // As before every start of an app.
        wine.killAll();
        wine.applyDPI(c.dpi);
        wine.applyTheme(c.theme);
        const auto report = run(wine, app, 3);
        EXPECT_EQ(report.at("logpixelsx"), c.logPixels);
        EXPECT_EQ(report.at("AppsUseLightTheme"), c.lightTheme);
    }
}

TEST_F(WineEnvironmentWine, InstallRecordAndUninstallLeaveNoFolder) {
    const fs::path project = builtProject();
    const InstalledApp app = InstalledApp::install("lifecycle-app", project, wine, real->paths());
    EXPECT_EQ(app, (InstalledApp{"lifecycle-app", "test_app", fs::canonical(project).string()}));
    EXPECT_EQ(InstalledApp::load("lifecycle-app", wine), app);
    EXPECT_EQ(run(wine, app).at("d3d11"), "system");

    InstalledApp::uninstall("lifecycle-app", wine);
    EXPECT_FALSE(fs::exists(fs::symlink_status(InstalledApp::directory("lifecycle-app", wine))));
    EXPECT_TRUE(fs::is_directory(wine.driveC() / "Torvex" / "Apps"));
}

TEST_F(WineEnvironmentWine, TheDXVKOverrideLoadsTheAppsD3D11AndWined3dDoesNot) {
    TestApp::buildStubDXVK(real->paths().support / "dxvk" / "2.4" / "x64", work());
    const fs::path project = builtProject();

    const WineEnvironment dxvk = real->locate();
    ASSERT_TRUE(dxvk.dxvk);
    const InstalledApp app = InstalledApp::install("dxvk-app", project, dxvk, real->paths());
    EXPECT_EQ(run(dxvk, app).at("d3d11"), "stub");

    // Switched off, the stubs stay in the app folder but Wine's own d3d11 is loaded.
    const WineEnvironment wined3d = real->locate({{"TORVEX_D3D", "wined3d"}});
    ASSERT_FALSE(wined3d.dxvk);
    InstalledApp::install("dxvk-app", project, wined3d, real->paths());
    EXPECT_TRUE(fs::exists(InstalledApp::directory("dxvk-app", wined3d) / "d3d11.dll"));
    EXPECT_EQ(run(wined3d, app).at("d3d11"), "system");
}

} // namespace
} // namespace torvex
