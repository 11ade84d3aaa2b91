#pragma once

#include "Core/ProcessRunner.h"
#include "support/Collected.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace torvex::testing {

// Collects the lines a LineHandler gets, from any thread and even after the collector's owner is
// gone (the sink shares the store), and lets a test wait for one.
class OutputLines {
public:
    LineHandler sink() const { return lines_.sink(); }

    std::vector<OutputLine> all() const { return lines_.all(); }
    // The texts of one stream, in order.
    std::vector<std::string> texts(OutputStreamKind stream) const;
    // Waits until a line satisfies `matches` (or `timeout` passes); answers whether one did.
    bool waitFor(const std::function<bool(const OutputLine&)>& matches, std::chrono::milliseconds timeout) const;
    // Waits for a line whose text is `text`.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    Collected<OutputLine> lines_;
};

} // namespace torvex::testing
