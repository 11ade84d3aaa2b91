#pragma once
// Small helpers shared by the benchmark programs.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>
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

// The q-quantile (0 <= q <= 1) of `values`, interpolated between the two nearest order statistics.
inline double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(position);
    if (below + 1 >= values.size()) return values.back();
    return values[below] + (position - static_cast<double>(below)) * (values[below + 1] - values[below]);
}

inline double median(std::vector<double> values) { return quantile(std::move(values), 0.5); }

// The median with its distribution-free 95 % confidence interval: the order statistics whose
// ranks lie 1.96 standard deviations of a binomial(n, 1/2) count on either side of n/2.
struct MedianInterval {
    double median, low, high;
};

inline MedianInterval medianInterval(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const double n = static_cast<double>(values.size()), spread = 0.98 * std::sqrt(n);
    const auto rank = [&](double position) {  // 1-based rank, clamped to the values
        return values[static_cast<std::size_t>(std::clamp(position, 1.0, n)) - 1];
    };
    return {median(values), rank(std::floor(n / 2 - spread)), rank(std::ceil(n / 2 + 1 + spread))};
}

} // namespace torvex::bench
