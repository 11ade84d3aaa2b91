#include "support/OutputLines.h"

#include <algorithm>

namespace torvex::testing {

std::vector<std::string> OutputLines::texts(OutputStreamKind stream) const {
    std::vector<std::string> texts;
    for (const auto& line : all()) {
        if (line.stream == stream) texts.push_back(line.text);
    }
    return texts;
}

bool OutputLines::waitFor(const std::function<bool(const OutputLine&)>& matches, std::chrono::milliseconds timeout) const {
    return lines_.waitFor([&](const std::vector<OutputLine>& lines) { return std::any_of(lines.begin(), lines.end(), matches); },
                          timeout);
}

bool OutputLines::waitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitFor([&](const OutputLine& line) { return line.text == text; }, timeout);
}

} // namespace torvex::testing
