#include "Runtime/Platform/XConnection.h"

#include "support/DisplayProxy.h"
#include "support/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include <X11/Xlib.h>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;

TEST(XConnectionTest, AServerThatStopsAnsweringIsCutAtTheDeadline) {
    const auto display = VirtualDisplay::start();
    if (!display) GTEST_SKIP() << "Xvfb is not installed";
    DisplayProxy proxy(display->name());
    ::setenv("DISPLAY", proxy.name().c_str(), 1);

    const XConnection connection(2s);
    ASSERT_NE(connection.display(), nullptr);
    const Window root = DefaultRootWindow(connection.display());
    XWindowAttributes attributes;
    EXPECT_NE(XGetWindowAttributes(connection.display(), root, &attributes), 0);
    proxy.stall();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(XGetWindowAttributes(connection.display(), root, &attributes), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(connection.lost());
    EXPECT_EQ(XGetWindowAttributes(connection.display(), root, &attributes), 0) << "later calls fail at once";
}
