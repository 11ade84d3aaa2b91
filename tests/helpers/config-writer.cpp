// Adds COUNT profiles named "<NAME> <n>" to the configuration in SUPPORT, one locked update each.
#include "ReportedFailures.h"
#include "Core/Profile.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: config-writer SUPPORT NAME COUNT\n");
        return 64;
    }
    const torvex::TorvexPaths paths{argv[1], argv[1], argv[1]};
    const int count = std::atoi(argv[3]);
    return torvex::testing::reportingFailures([&] {
        for (int n = 1; n <= count; ++n) {
            torvex::TorvexConfig::update(paths, [&](torvex::TorvexConfig& config) {
                torvex::Profile profile = torvex::Profile::defaultProfile();
                profile.name = std::string(argv[2]) + " " + std::to_string(n);
                profile.id = config.newProfileID(profile.name);
                config.profiles.push_back(profile);
            });
        }
    });
}
