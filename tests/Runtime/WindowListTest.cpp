#include "Runtime/Platform/WindowList.h"

#include "support/DisplayProxy.h"
#include "support/TestWindows.h"
#include "support/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace torvex;
using namespace torvex::testing;

namespace {

class WindowListTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto started = VirtualDisplay::start();
        if (!started) GTEST_SKIP() << "Xvfb is not installed";
        display.emplace(std::move(*started));
        ::setenv("DISPLAY", display->name().c_str(), 1);
    }

    std::vector<std::uint32_t> numbers() const {
        std::vector<std::uint32_t> result;
        for (const auto& entry : windowList()) result.push_back(entry.number.value_or(0));
        return result;
    }

    std::optional<VirtualDisplay> display;
};

std::size_t openDescriptors() {
    return std::size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

} // namespace

TEST_F(WindowListTest, ReadsEveryKeyTopMostFirst) {
    const TestWindows wine(TestWindows::wineProgram(), display->name(),
                           {"x=10,y=20,w=640,h=480,title=Grüße ✓,type=normal",
                            "x=-5,y=6,w=300,h=200,wmname=caf\xe9",
                            "w=50,h=40,badtitle=1,wmname=fallback",
                            "w=60,h=40,title=popup,override=1",
                            "w=60,h=40,title=tool,type=utility",
                            "w=60,h=40,title=dialog,type=dialog",
                            "w=60,h=40,title=unknown type,type=unknown",
                            "w=60,h=40,title=hidden,map=0",
                            "w=60,h=40,pid=none,ctext=Ωmega café",
                            "x=1900,y=1000,w=70,h=90,depth=32,pid=999999999"});
    const TestWindows other(TestWindows::otherProgram(), display->name(), {"x=1,y=2,w=30,h=40,title=other"});
    const auto& w = wine.ids();
    const std::vector<WindowListEntry> expected = {
        {"test-windows", 0, other.ids()[0], ScreenRect{1, 2, 30, 40}, "other", true},
        {std::nullopt, 0, w[9], ScreenRect{1900, 1000, 70, 90}, std::nullopt, true},
        {std::nullopt, 0, w[8], ScreenRect{0, 0, 60, 40}, "Ωmega café", true},
        {"wine", 0, w[7], ScreenRect{0, 0, 60, 40}, "hidden", false},
        {"wine", 0, w[6], ScreenRect{0, 0, 60, 40}, "unknown type", true},
        {"wine", 0, w[5], ScreenRect{0, 0, 60, 40}, "dialog", true},
        {"wine", 1, w[4], ScreenRect{0, 0, 60, 40}, "tool", true},
        {"wine", 1, w[3], ScreenRect{0, 0, 60, 40}, "popup", true},
        {"wine", 0, w[2], ScreenRect{0, 0, 50, 40}, "fallback", true},
        {"wine", 0, w[1], ScreenRect{-5, 6, 300, 200}, "café", true},
        {"wine", 0, w[0], ScreenRect{10, 20, 640, 480}, "Grüße ✓", true},
    };
    const auto list = windowList();
    ASSERT_EQ(list.size(), expected.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i], expected[i]) << "entry " << i << " " << expected[i].name.value_or("(untitled)");
    }
}

TEST_F(WindowListTest, FollowsARunningWindowManagersStacking) {
    const TestWindows windows(TestWindows::wineProgram(), display->name(),
                              {"title=a", "title=b", "title=c", "title=unmanaged", "--stacking=1,2,0", "--wm-check"});
    const auto& w = windows.ids();
    EXPECT_EQ(numbers(), (std::vector<std::uint32_t>{w[0], w[2], w[1]}));
}

TEST_F(WindowListTest, AWindowManagerWithoutAStackingListGivesItsClientsThenTheRootsChildren) {
    const struct {
        const char* name;
        std::vector<std::string> lists;
        std::vector<std::size_t> expected;  // SPEC indexes, top-most first
    } cases[] = {
        {"only a client list, as dwm keeps", {"--client-list=2,0", "--wm-check"}, {0, 2}},
        {"the stacking list wins over it", {"--stacking=1,2", "--client-list=0,1,2", "--wm-check"}, {2, 1}},
        {"no list at all", {"--wm-check"}, {2, 1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments{"title=a", "title=b", "title=c"};
        arguments.insert(arguments.end(), c.lists.begin(), c.lists.end());
        const TestWindows windows(TestWindows::wineProgram(), display->name(), arguments);
        std::vector<std::uint32_t> expected;
        for (const std::size_t index : c.expected) expected.push_back(windows.ids()[index]);
        std::vector<std::uint32_t> found = numbers();
        // The root's children also hold the window manager's check window, which is no app's.
        std::erase_if(found, [&](std::uint32_t number) {
            return std::find(windows.ids().begin(), windows.ids().end(), number) == windows.ids().end();
        });
        EXPECT_EQ(found, expected);
    }
}

TEST_F(WindowListTest, IgnoresTheListOfAWindowManagerThatIsGone) {
    const TestWindows windows(TestWindows::wineProgram(), display->name(),
                              {"title=a", "title=b", "title=c", "--stacking=1,2,0"});
    const auto& w = windows.ids();
    EXPECT_EQ(numbers(), (std::vector<std::uint32_t>{w[2], w[1], w[0]}));
}

TEST_F(WindowListTest, SurvivesWindowsThatVanishMidScan) {
    const TestWindows steady(TestWindows::wineProgram(), display->name(), {"title=steady"});
    const TestWindows churning(TestWindows::wineProgram(), display->name(), {"--churn"});
    for (int scan = 0; scan < 40; ++scan) {
        const auto list = windowList();
        const bool found = std::any_of(list.begin(), list.end(), [&](const auto& entry) {
            return entry.number == steady.ids()[0] && entry.name == "steady";
        });
        EXPECT_TRUE(found) << "scan " << scan;
    }
}

TEST_F(WindowListTest, NoDisplayGivesAnEmptyList) {
    ::unsetenv("DISPLAY");
    EXPECT_TRUE(windowList().empty());
    ::setenv("DISPLAY", "", 1);
    EXPECT_TRUE(windowList().empty());
}

TEST_F(WindowListTest, SurvivesADisplayThatDiesMidScan) {
    std::vector<std::string> specs;
    for (int i = 0; i < 12; ++i) specs.push_back("w=600,h=600,title=window " + std::to_string(i));
    const TestWindows windows(TestWindows::wineProgram(), display->name(), specs);
    const auto whole = windowList();
    ASSERT_EQ(whole.size(), specs.size());
    const auto descriptors = openDescriptors();
    // The connection is cut after ever more bytes: while it opens, mid-scan, and after.
    for (std::size_t budget = 1; budget <= 2501; budget += 50) {
        const DisplayProxy proxy(display->name(), budget);
        ::setenv("DISPLAY", proxy.name().c_str(), 1);
        const auto list = windowList();
        ASSERT_LE(list.size(), whole.size()) << budget;
        EXPECT_TRUE(std::equal(list.begin(), list.end(), whole.begin())) << "whole entries, top-most first: " << budget;
        if (budget == 2501) {
            EXPECT_EQ(list.size(), whole.size());
        }
    }
    EXPECT_EQ(openDescriptors(), descriptors);
}
