#include "Torvex.h"

#include "Version.h"

#include <cstdio>
#include <string_view>

namespace torvex::cli {

int run(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--version" || std::string_view(argv[1]) == "version")) {
        std::printf("%s\n", TorvexVersion::current().c_str());
        return 0;
    }
    std::fputs("usage: torvex --version\n", stderr);
    return 64;
}

} // namespace torvex::cli
