#include "support/OutputLines.h"

#include <algorithm>

namespace torvex::testing {

LineHandler OutputLines::sink() const {
    return [store = store_](const OutputLine& line) {
        const std::lock_guard guard(store->lock);
        store->lines.push_back(line);
        store->added.notify_all();
    };
}

std::vector<OutputLine> OutputLines::all() const {
    const std::lock_guard guard(store_->lock);
    return store_->lines;
}

std::vector<std::string> OutputLines::texts(OutputStreamKind stream) const {
    std::vector<std::string> texts;
    for (const auto& line : all()) {
        if (line.stream == stream) texts.push_back(line.text);
    }
    return texts;
}

bool OutputLines::waitFor(const std::function<bool(const OutputLine&)>& matches, std::chrono::milliseconds timeout) const {
    std::unique_lock guard(store_->lock);
    return store_->added.wait_for(guard, timeout, [&] {
        return std::any_of(store_->lines.begin(), store_->lines.end(), matches);
    });
}

bool OutputLines::waitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitFor([&](const OutputLine& line) { return line.text == text; }, timeout);
}

} // namespace torvex::testing
