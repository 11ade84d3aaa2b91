#pragma once
// Small helpers shared by the benchmark programs.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace torvex::bench {

// The count given as the program's first argument, or `fallback` without one. A count that is not
// a positive number ends the program with status 64 and says how to fix it.
inline int countArgument(int argc, char** argv, const char* program, const char* noun, int fallback) {
    if (argc < 2) return fallback;
    const int count = std::atoi(argv[1]);
    if (count < 1) {
        std::fprintf(stderr, "%s: %s must be a positive number, not \"%s\".\n"
                             "  Fix: pass a count such as %d, or nothing.\n", program, noun, argv[1], fallback);
        std::exit(64);
    }
    return count;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace torvex::bench
