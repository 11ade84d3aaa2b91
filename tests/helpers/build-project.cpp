// Builds the project of the build rig in STATE once, printing every line, so that tests can run a
// second build of one project from another process. Exits 0, or with the error's kind.
// Usage: build-project STATE

#include "Build/BuildPipeline.h"
#include "Core/TorvexError.h"
#include "support/BuildRig.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: build-project STATE\n");
        return 64;
    }
    try {
        const torvex::testing::BuildRig rig(argv[1]);
        const torvex::BuildPipeline pipeline{rig.paths(), [](const std::string& line) {
                                                 std::printf("%s\n", line.c_str());
                                                 std::fflush(stdout);
                                             }};
        pipeline.build(rig.request());
        return 0;
    } catch (const torvex::TorvexError& error) {
        std::fprintf(stderr, "error: %s\n", error.description().c_str());
        return torvex::TorvexError::rawValue(error.kind);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "error: %s\n", error.what());
        return 1;
    }
}
