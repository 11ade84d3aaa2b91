#include "Runtime/WindowCapture.h"

#include "Core/Platform/ProcessInfo.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"
#include "support/TestWindows.h"
#include "support/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace torvex;
using namespace torvex::testing;
using WindowCapture::Window;

namespace {

WindowListEntry wine(std::uint32_t number, double width, double height, std::optional<std::string> name = std::nullopt) {
    return WindowListEntry{"wine", 0, number, ScreenRect{10, 20, width, height}, std::move(name), true};
}

const ScreenRect screen{0, 0, 1920, 1080};

} // namespace

TEST(WindowCaptureTest, SelectsByTitleElseLargestWineWindow) {
    struct Case {
        std::string name;
        std::vector<WindowListEntry> list;
        std::optional<std::string> title;
        std::optional<std::uint32_t> id;
    };
    const std::vector<Case> cases = {
        {"empty list", {}, "App", std::nullopt},
        {"a titled small window beats a large untitled one", {wine(1, 1600, 900), wine(2, 300, 200, "App")}, "App", 2},
        {"an unknown title falls back to the largest", {wine(1, 600, 600), wine(2, 300, 200, "App"), wine(3, 800, 600)}, "Other", 3},
        {"no title: the largest", {wine(1, 600, 600), wine(2, 300, 200, "App"), wine(3, 800, 600)}, std::nullopt, 3},
        {"the first of two windows with the title", {wine(1, 10, 10, "App"), wine(2, 900, 900, "App")}, "App", 1},
        {"titles compare exactly", {wine(1, 10, 10, "app"), wine(2, 10, 10, "App ")}, "App", std::nullopt},
        {"an empty title matches an empty name only", {wine(1, 10, 10), wine(2, 10, 10, "")}, "", 2},
        {"500×500 is not large enough", {wine(1, 500, 500)}, std::nullopt, std::nullopt},
        {"501×500 is", {wine(1, 500, 500), wine(2, 501, 500)}, std::nullopt, 2},
        {"500×501 is too", {wine(1, 500, 501)}, "App", 1},
        {"only small dialogs and tools", {wine(1, 400, 300), wine(2, 64, 64), wine(3, 499, 501)}, std::nullopt, std::nullopt},
        {"a tie goes to the first listed", {wine(1, 800, 600), wine(2, 600, 800), wine(3, 700, 500)}, std::nullopt, 1},
        {"a tie after a smaller window", {wine(1, 700, 500), wine(2, 600, 800), wine(3, 800, 600)}, std::nullopt, 2},
        {"other owners never count",
         {{"Xorg", 0, 1, screen, "App", true}, {"Wine", 0, 2, screen, "App", true},
          {std::nullopt, 0, 3, screen, "App", true}, wine(4, 600, 600)},
         "App", 4},
        {"other layers never count",
         {{"wine", 1, 1, screen, "App", true}, {"wine", -1, 2, screen, "App", true},
          {"wine", std::nullopt, 3, screen, "App", true}, wine(4, 600, 600)},
         "App", 4},
        {"entries without a number or bounds are skipped",
         {{"wine", 0, std::nullopt, screen, "App", true}, {"wine", 0, 2, std::nullopt, "App", true}, wine(3, 600, 600)},
         "App", 3},
        {"hidden windows count", {{"wine", 0, 1, screen, std::nullopt, false}}, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        const auto window = WindowCapture::select(c.list, c.title);
        EXPECT_EQ(window ? std::optional(window->id) : std::nullopt, c.id) << c.name;
    }
}

TEST(WindowCaptureTest, WindowCarriesTheEntrysBoundsTitleAndOnScreenFlag) {
    const ScreenRect bounds{-3.5, 7, 800, 600.25};
    EXPECT_EQ(WindowCapture::select({WindowListEntry{"wine", 0, 9, bounds, "App", true}}, "App"),
              (Window{9, bounds, "App", true}));
    EXPECT_EQ(WindowCapture::select({WindowListEntry{"wine", 0, 9, bounds, std::nullopt, std::nullopt}}, "App"),
              (Window{9, bounds, std::nullopt, false}));
    EXPECT_NE((Window{9, bounds, std::nullopt, false}), (Window{9, bounds, "", false}));
}

TEST(WindowCaptureTest, FindsTheWineWindowOnARealDisplay) {
    const auto display = VirtualDisplay::start();
    if (!display) GTEST_SKIP() << "Xvfb is not installed";
    ::setenv("DISPLAY", display->name().c_str(), 1);
    const TestWindows wineWindows(TestWindows::wineProgram(), display->name(),
                                  {"w=200,h=100,title=Counter", "w=800,h=600", "w=1000,h=800,override=1"});
    const TestWindows otherWindows(TestWindows::otherProgram(), display->name(), {"w=1200,h=900,title=Counter"});

    const auto byTitle = WindowCapture::find("Counter");
    ASSERT_TRUE(byTitle);
    EXPECT_EQ(*byTitle, (Window{wineWindows.ids()[0], ScreenRect{0, 0, 200, 100}, "Counter", true}));
    EXPECT_EQ(WindowCapture::windowID("Nothing"), wineWindows.ids()[1]);
    EXPECT_EQ(WindowCapture::windowID(std::nullopt), wineWindows.ids()[1]);
}

TEST(WindowCaptureTest, CommandLineProgramsDoNotLoadX11) {
    const TempDir scratch;
    const auto libraries = [&](const std::filesystem::path& program) {
        const SpawnResult result = spawnAndWait({"/usr/bin/ldd", {"ldd", program.string()}, std::nullopt, {}}, scratch.path());
        EXPECT_EQ(result.status, 0) << program << result.err;
        return result.out;
    };
    // The check sees libX11 where it is linked: in this test, through the capture library.
    EXPECT_NE(libraries(executablePath().value()).find("libX11.so"), std::string::npos);
    for (const auto& program : {builtBundle() / "Contents/MacOS/torvex", builtBundle() / "Contents/Helpers/torvex-cc"}) {
        const std::string loaded = libraries(program);
        EXPECT_EQ(loaded.find("libX11"), std::string::npos) << program << ":\n" << loaded;
        EXPECT_EQ(loaded.find("libxcb"), std::string::npos) << program << ":\n" << loaded;
    }
}
