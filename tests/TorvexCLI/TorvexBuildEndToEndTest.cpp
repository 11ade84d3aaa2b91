// `torvex build` of a copy of examples/hello through the torvex-host that it launches from the
// build-tree bundle, as a user runs it.
#include "Build/SourceStaging.h"
#include "support/BuildRig.h"
#include "support/StateProcesses.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(TorvexBuildEndToEndTest, ACompileErrorInTheRunnerNamesTheProjectsFileInTheOutputAndTheLog) {
    if (auto missing = BuildRig::missingTool()) GTEST_SKIP() << *missing;
    TempDir temp;
    const BuildRig rig(temp / "rig");  // sets TORVEX_CC and the engine's address, which the host inherits
    TorvexProgram torvex(temp.path());
    torvex.environment.erase("TORVEX_APP");
    torvex.environment["TORVEX_SUPPORT_DIR"] = rig.paths().support.string();
    torvex.environment["TORVEX_CACHES_DIR"] = rig.paths().caches.string();
    torvex.environment["TORVEX_LOGS_DIR"] = rig.paths().logs.string();
    torvex.environment["FLUTTER_ROOT"] = rig.sdkRoot().string();
    torvex.cwd = rig.project();
    const StateProcesses processes(torvex.socket(), rig.paths().support, temp / "output");

    const fs::path main = fs::canonical(rig.project() / "windows" / "runner" / "main.cpp");
    writeFile(main, "int broken = undeclared_name;\n" + readFile(main));
    const SpawnResult built = torvex.run({"build"});

    EXPECT_EQ(built.status, 4) << built.out << built.err;
    EXPECT_NE(built.err.find("error: The Windows build failed."), std::string::npos) << built.err;
    // Where an editor or a terminal link takes the user: the project's file, at the line and column.
    const std::string error = main.string() + ":1:14: error: use of undeclared identifier 'undeclared_name'\n";
    const std::string stagedCopy = (stagedWindowsFolder(rig.workFolder()) / "runner" / "main.cpp").string();
    const std::string log = readFile(rig.paths().logs / "build-hello.log");
    for (const auto& [name, text] : {std::pair{"torvex build's output", built.out}, std::pair{"the build log", log}}) {
        EXPECT_NE(text.find(error), std::string::npos) << name << ":\n" << text;
        EXPECT_EQ(text.find(stagedCopy), std::string::npos) << name << ":\n" << text;
    }

    EXPECT_TRUE(processes.stopHosts(20s));
}
