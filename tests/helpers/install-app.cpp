// Installs the app NAME of the project around PROJECT into the Wine prefix PREFIX, from the build
// output under CACHES, as the service does; for tests that end it half-way.
#include "ReportedFailures.h"
#include "Runtime/InstalledApp.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: install-app CACHES PREFIX NAME PROJECT\n");
        return 64;
    }
    const torvex::TorvexPaths paths{argv[1], argv[1], argv[1]};
    const torvex::WineEnvironment wine{"/nonexistent/wine/bin", argv[2], std::nullopt};
    return torvex::testing::reportingFailures([&] { torvex::InstalledApp::install(argv[3], argv[4], wine, paths); });
}
