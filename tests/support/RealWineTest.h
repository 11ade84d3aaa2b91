#pragma once

#include "Runtime/WineEnvironment.h"
#include "support/RealWine.h"
#include "support/TestApp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace torvex::testing {

// A test under real Wine that builds the test app: skipped when Wine, Xvfb or the toolchain is
// missing; else `wine` is the located environment of an initialised prefix. A test's own SetUp
// calls this one first and returns when IsSkipped().
class RealWineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = RealWine::missing()) GTEST_SKIP() << *why;
        if (auto why = TestApp::missingTool()) GTEST_SKIP() << *why;
        real.emplace();
        wine = real->locate();
        wine.ensurePrefix({});
    }

    // Where the test builds things.
    std::filesystem::path work() const { return real->folder() / "work"; }

    std::optional<RealWine> real;
    WineEnvironment wine;
};

} // namespace torvex::testing
