// Adds COUNT profiles named "<NAME> <n>" to the configuration in SUPPORT, one locked update each.
#include "Core/Profile.h"
#include "Core/TorvexError.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: config-writer SUPPORT NAME COUNT\n");
        return 64;
    }
    const torvex::TorvexPaths paths{argv[1], argv[1], argv[1]};
    const int count = std::atoi(argv[3]);
    try {
        for (int n = 1; n <= count; ++n) {
            torvex::TorvexConfig::update(paths, [&](torvex::TorvexConfig& config) {
                torvex::Profile profile = torvex::Profile::defaultProfile();
                profile.name = std::string(argv[2]) + " " + std::to_string(n);
                profile.id = config.newProfileID(profile.name);
                config.profiles.push_back(profile);
            });
        }
    } catch (const torvex::TorvexError& error) {
        std::fprintf(stderr, "%s\n", error.description().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
