// Builds the project of the build rig in STATE once, printing every line, so that tests can run a
// second build of one project from another process. Exits 0, or with the error's kind.
// Usage: build-project STATE

#include "Build/BuildPipeline.h"
#include "support/BuildRig.h"
#include "support/TestSupport.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: build-project STATE\n");
        return 64;
    }
    return torvex::testing::exitStatusOfRun([&] {
        const torvex::testing::BuildRig rig(argv[1]);
        const torvex::BuildPipeline pipeline{rig.paths(), [](const std::string& line) {
                                                 std::printf("%s\n", line.c_str());
                                                 std::fflush(stdout);
                                             }};
        pipeline.build(rig.request());
    });
}
