// Build requests through the real IPCServer and the real build pipeline, whose CMake is a script
// that prints a great deal: what a client that stops reading does to the builds of its project.

#include "Service/TorvexService.h"
#include "support/BuildRig.h"
#include "support/IPCFixture.h"
#include "support/ServiceFixture.h"
#include "support/TestSupport.h"
#include "support/TorvexProgram.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

using namespace torvex;
using namespace torvex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr auto stallLimit = 5s;

// CMake as a noisy Ninja run: 40,000 lines (some 3 MB, far more than a socket holds), then an
// install that leaves the program where the pipeline looks for it.
const char* const noisyCMake = R"(case "$1" in
--build) yes '[1/2] Building CXX object runner/CMakeFiles/hello.dir/flutter_window.cpp.obj' | head -n 40000 ;;
--install) mkdir -p "$2/../out" && : > "$2/../out/hello.exe" ;;
esac
)";

// A first client that stops reading once its build runs: it answers how to let it go on and, once
// it has, what the client got in the end (the last message's type, or the exit status).
struct StalledClient {
    std::function<void()> resume;
    std::function<std::string()> outcome;
};

} // namespace

TEST(TorvexServiceBuildTest, AClientThatStopsReadingLetsTheNextBuildOfItsProjectRun) {
    if (auto missing = BuildRig::missingTool()) GTEST_SKIP() << *missing;
    struct Case {
        const char* name;
        std::function<StalledClient(const TempDir&, const BuildRig&, const fs::path& socket)> start;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"a client that reads nothing",
         [](const TempDir&, const BuildRig& rig, const fs::path& socket) {
             auto client = std::make_shared<RawClient>(socket);
             EXPECT_TRUE(client->readMessage());
             client->write(encode(IPCRequest("build", {.project = rig.project().string(),
                                                       .flutterRoot = rig.sdkRoot().string()})) +
                           "\n");
             return StalledClient{[] {}, [client] {
                                      std::string last = "nothing";
                                      while (const auto line = client->readLine(60s)) {
                                          if (const auto message = decodeMessage(*line))
                                              last = std::string(rawValue(message->type));
                                      }
                                      return last;
                                  }};
         },
         "log"},  // its lines, up to where it stopped, and no answer
        {"torvex build stopped with Ctrl-Z",
         [](const TempDir& temp, const BuildRig& rig, const fs::path& socket) {
             auto torvex = std::make_shared<TorvexProgram>(temp / "cli");
             torvex->environment["TORVEX_SOCKET"] = socket.string();
             torvex->environment["FLUTTER_ROOT"] = rig.sdkRoot().string();
             const int output = ::open((temp / "cli output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
             const pid_t pid = torvex->start({"build", rig.project().string()}, output);
             ::close(output);
             // Stopped as Ctrl-Z stops it (SIGSTOP: a SIGTSTP may be discarded outside a terminal's
             // session) as soon as its build has begun.
             EXPECT_TRUE(eventually(
                 [&] { return readFile(temp / "cli output").find("Torvex: building hello") != std::string::npos; }, 60s));
             ::kill(pid, SIGSTOP);
             return StalledClient{[pid] { ::kill(pid, SIGCONT); }, [pid, torvex] {
                                      const auto status = exitStatusWithin(pid, 60s);
                                      return status ? "status " + std::to_string(*status) : std::string("still running");
                                  }};
         },
         "status 3"},  // "Torvex stopped before finishing."
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        BuildRig rig(temp.path());
        rig.replaceCMake(noisyCMake);
        const auto service = TorvexService::create(rig.paths());
        ServiceEvents events;
        service->setEventSink(events.sink());
        const ServiceServer server(service, temp / "t.sock", stallLimit);

        StalledClient first = c.start(temp, rig, server.socket());
        ASSERT_TRUE(events.waitForLine("[1/2] Building CXX object runner/CMakeFiles/hello.dir/flutter_window.cpp.obj",
                                       60s));

        // The second build waits for the first, which ends once its client counts as gone.
        const auto started = std::chrono::steady_clock::now();
        const ServiceAnswer second =
            server.request("build", {.project = rig.project().string(), .flutterRoot = rig.sdkRoot().string()});
        EXPECT_LT(std::chrono::steady_clock::now() - started, 120s);
        ASSERT_EQ(second.value, (rig.workFolder() / "out").string())
            << (second.error ? second.error->description() : "no value");
        EXPECT_TRUE(std::any_of(second.lines.begin(), second.lines.end(), [](const OutputLine& line) {
            return line.text == "Torvex: waiting for another build of hello to finish";
        })) << "the second build did not wait";
        EXPECT_EQ(std::count_if(second.lines.begin(), second.lines.end(),
                                [](const OutputLine& line) { return line.text.starts_with("[1/2] "); }),
                  40000);

        first.resume();
        EXPECT_EQ(first.outcome(), c.outcome);
        EXPECT_TRUE(events.waitForStatus(ServiceStatus::idle()));
    }
}
