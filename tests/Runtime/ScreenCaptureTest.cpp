#include "Runtime/Platform/ScreenCapture.h"

#include "support/DecodedPNG.h"
#include "support/DisplayProxy.h"
#include "support/TestSupport.h"
#include "support/TestWindows.h"
#include "support/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace torvex;
using namespace torvex::testing;

namespace {

// The helper's quadrants at (x, y) of a width × height window.
RGB quadrantColour(int x, int y, int width, int height) {
    const bool right = x >= width / 2, bottom = y >= height / 2;
    if (!bottom) return right ? RGB{0, 255, 0} : RGB{255, 0, 0};
    return right ? RGB{255, 255, 255} : RGB{0, 0, 255};
}

} // namespace

TEST(ScreenCaptureTest, CapturesTheWindowsQuadrantsAtEveryDepth) {
    struct Case {
        int screenDepth;
        std::string spec;
        int x, y, width, height;              // the window
        std::uint32_t pngWidth, pngHeight;    // its part on the 1920×1080 screen
    };
    const std::vector<Case> cases = {
        {24, "depth=24", 100, 50, 640, 480, 640, 480},
        {24, "depth=32", 3, 7, 301, 201, 301, 201},
        {24, "depth=24", -50, -30, 400, 300, 350, 270},
        {24, "depth=32", 1700, 900, 333, 222, 220, 180},
        {16, "depth=16", 11, 13, 333, 222, 333, 222},
    };
    std::map<int, VirtualDisplay> displays;
    for (const auto& c : cases) {
        const std::string name = std::to_string(c.screenDepth) + "-bit screen, " + c.spec + " " +
                                 std::to_string(c.width) + "×" + std::to_string(c.height);
        if (!displays.count(c.screenDepth)) {
            auto display = VirtualDisplay::start(c.screenDepth);
            if (!display) GTEST_SKIP() << "Xvfb is not installed";
            displays.emplace(c.screenDepth, std::move(*display));
        }
        const std::string display = displays.at(c.screenDepth).name();
        ::setenv("DISPLAY", display.c_str(), 1);
        const std::string spec = c.spec + ",x=" + std::to_string(c.x) +
                                 ",y=" + std::to_string(c.y) + ",w=" + std::to_string(c.width) + ",h=" + std::to_string(c.height);
        const TestWindows windows(TestWindows::wineProgram(), display, {spec});

        const auto png = decodePNG(windowPNG(windows.ids()[0]));
        ASSERT_TRUE(png) << name;
        ASSERT_EQ(png->width, c.pngWidth) << name;
        ASSERT_EQ(png->height, c.pngHeight) << name;
        const int left = std::max(0, -c.x), top = std::max(0, -c.y);
        int wrong = 0;
        for (std::uint32_t y = 0; y < png->height; ++y) {
            for (std::uint32_t x = 0; x < png->width; ++x) {
                const RGB expected = quadrantColour(int(x) + left, int(y) + top, c.width, c.height);
                if (png->at(x, y) != expected && wrong++ < 3) {
                    ADD_FAILURE() << name << ": pixel " << x << "," << y << " is " << int(png->at(x, y)[0]) << ","
                                  << int(png->at(x, y)[1]) << "," << int(png->at(x, y)[2]);
                }
            }
        }
        EXPECT_EQ(wrong, 0) << name;
    }
}

TEST(ScreenCaptureTest, FailuresSayWhatWhyAndFix) {
    const auto display = VirtualDisplay::start();
    if (!display) GTEST_SKIP() << "Xvfb is not installed";
    const DisplayProxy refusing;
    const TestWindows windows(TestWindows::wineProgram(), display->name(),
                              {"w=100,h=100,map=0", "x=1920,y=0,w=100,h=100", "x=-100,y=-100,w=100,h=100"});
    std::uint32_t closed = 0;
    {
        const TestWindows gone(TestWindows::wineProgram(), display->name(), {"w=100,h=100"});
        closed = gone.ids()[0];
    }
    struct Case {
        std::optional<std::string> display;
        std::uint32_t window;
        std::string why;
    };
    const std::vector<Case> cases = {
        {std::nullopt, windows.ids()[0], "No X display is set"},
        {"", windows.ids()[0], "No X display is set"},
        {refusing.name(), windows.ids()[0], "The X display \"" + refusing.name() + "\" did not accept a connection."},
        {display->name(), closed, "does not exist any more"},
        {display->name(), 0, "does not exist any more"},
        {display->name(), windows.ids()[0], "is not shown on the screen"},
        {display->name(), windows.ids()[1], "lies outside the screen"},
        {display->name(), windows.ids()[2], "lies outside the screen"},
    };
    for (const auto& c : cases) {
        if (c.display) ::setenv("DISPLAY", c.display->c_str(), 1);
        else ::unsetenv("DISPLAY");
        const TorvexError error = errorOf([&] { windowPNG(c.window); });
        EXPECT_EQ(error.what, "Could not capture the app's window.") << c.why;
        EXPECT_NE(error.why.find(c.why), std::string::npos) << error.why;
        EXPECT_FALSE(error.fix.empty()) << c.why;
    }
}

TEST(ScreenCaptureTest, ADisplayThatDiesGivesAnErrorNotAnExit) {
    const auto display = VirtualDisplay::start();
    if (!display) GTEST_SKIP() << "Xvfb is not installed";
    const TestWindows windows(TestWindows::wineProgram(), display->name(), {"w=300,h=200"});
    // The connection is cut after ever more bytes: while it opens, mid-capture, and after.
    std::map<std::string, int> outcomes;
    for (std::size_t budget = 1; budget <= 400; budget += 3) {
        const DisplayProxy proxy(display->name(), budget);
        ::setenv("DISPLAY", proxy.name().c_str(), 1);
        try {
            const auto png = decodePNG(windowPNG(windows.ids()[0]));
            ASSERT_TRUE(png) << budget;
            EXPECT_EQ(png->width * png->height, 300u * 200u) << budget;
            ++outcomes["captured"];
        } catch (const TorvexError& error) {
            EXPECT_EQ(error.what, "Could not capture the app's window.");
            const bool refused = error.why == "The X display \"" + proxy.name() + "\" did not accept a connection.";
            const bool lost = error.why == "The connection to the X display \"" + proxy.name() + "\" was lost or did not answer.";
            EXPECT_TRUE(refused || lost) << budget << ": " << error.why;
            ++outcomes[refused ? "refused" : "lost"];
        }
    }
    EXPECT_GT(outcomes["refused"], 0);
    EXPECT_GT(outcomes["lost"], 0);
    EXPECT_GT(outcomes["captured"], 0);
}
