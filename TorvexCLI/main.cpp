#include "Torvex.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    return torvex::cli::run(torvex::cli::rootCommand(), words);
}
