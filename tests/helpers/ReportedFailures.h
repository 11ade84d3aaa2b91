#pragma once

#include "Core/TorvexError.h"

#include <cstdio>
#include <exception>

namespace torvex::testing {

// Runs `work` and answers 0, or writes its failure to standard error and answers 1: the ending of
// the small programs the tests start.
template <typename Work>
int reportingFailures(Work&& work) {
    try {
        work();
    } catch (const TorvexError& error) {
        std::fprintf(stderr, "%s\n", error.description().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}

} // namespace torvex::testing
