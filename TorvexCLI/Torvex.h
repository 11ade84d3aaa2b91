#pragma once

namespace torvex::cli {

// Runs the command line; answers the process's exit status.
int run(int argc, char** argv);

} // namespace torvex::cli
