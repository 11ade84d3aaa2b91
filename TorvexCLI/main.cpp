#include "Torvex.h"

#include "Core/StandardDescriptors.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Before anything opens a descriptor that could take the number of a closed one.
    if (!torvex::openStandardDescriptors()) return 1;
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    return torvex::cli::run(torvex::cli::rootCommand(), words);
}
