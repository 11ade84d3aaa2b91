// Makes sure the engine cache of an SDK's revision is complete, as a build does, so that tests can
// run several at once in processes of their own. Each progress text is appended to PROGRESS as a
// line. Exits 0, or 1 with the failure on standard error. The artifact store is
// FLUTTER_STORAGE_BASE_URL's.
// Usage: ensure-engine SUPPORT SDK PROGRESS

#include "ReportedFailures.h"

#include "Build/EngineArtifacts.h"
#include "Build/FlutterSDK.h"
#include "Core/Environment.h"

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: ensure-engine SUPPORT SDK PROGRESS\n");
        return 64;
    }
    return torvex::testing::reportingFailures([&] {
        const torvex::TorvexPaths paths{argv[1], argv[1], argv[1]};
        std::ofstream progress(argv[3], std::ios::app);
        torvex::EngineArtifacts::ensure(torvex::FlutterSDK{argv[2]}, paths, torvex::currentEnvironment(),
                                        [&](const std::string& text) { progress << text << std::endl; });
    });
}
