#include "Output.h"
#include "Torvex.h"

#include "Core/StandardDescriptors.h"

#include <unistd.h>

#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Before anything opens a descriptor that could take the number of a closed one.
    const int closed = torvex::openStandardDescriptors();
    if (closed < 0) return 1;
    if ((closed & (1 << STDOUT_FILENO)) != 0) torvex::cli::Output::standardOutputWasClosed();
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    return torvex::cli::run(torvex::cli::rootCommand(), words);
}
