// What the built torvex loads to start: the Flutter tool runs ping, build, install and run on every
// edit-run cycle, so the libraries of the setup steps, of logging and of Unicode come only when they
// are used, and the C++ runtime and fmt are linked in.
#include "support/FakeHost.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>

using namespace torvex;
using namespace torvex::testing;

TEST(StartupLibrariesTest, TheCycleCommandsLoadOnlyTheLibrariesTheyUse) {
    TempDir temp;
    TorvexProgram torvex{temp.path()};
    torvex.environment["LD_DEBUG"] = "files";  // the loader lists every library it loads, dlopen included
    FakeHost host(torvex.socket());
    host.reply("status", {.result = R"({"profile":"default","status":"Idle"})"});
    const struct {
        std::vector<std::string> arguments;
        int status;
    } commands[] = {
        {{"status"}, 0},
        {{"ping"}, 1},  // nothing is set up here
        {{"stop"}, 0},
        {{"--version"}, 0},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(command.arguments.front());
        const SpawnResult result = torvex.run(command.arguments);
        EXPECT_EQ(result.status, command.status) << result.out;
        ASSERT_NE(result.err.find("file=libc.so.6"), std::string::npos) << "the loader listed nothing";
        for (const char* library : {"file=libcurl", "file=libcrypto", "file=libssl", "file=libsystemd", "file=libpcre2",
                                    "file=libicu", "file=libstdc++", "file=libfmt"})
            EXPECT_EQ(result.err.find(library), std::string::npos) << library;
    }
}
