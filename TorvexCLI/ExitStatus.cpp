#include "ExitStatus.h"

#include "DecimalInteger.h"
#include "Output.h"
#include "Core/VisibleText.h"

#include <cstdint>
#include <limits>

namespace torvex::cli {

std::string shownError(const TorvexError& error) {
    return TorvexError(error.kind, visibleLines(error.what), visibleLines(error.why), visibleLines(error.fix))
        .description();
}

void withErrorRule(const std::function<void()>& body) {
    try {
        body();
    } catch (const TorvexError& error) {
        Output::err("error: " + shownError(error));
        throw ExitCode{TorvexError::rawValue(error.kind)};
    }
}

int runExitStatus(const std::optional<std::string>& result) {
    if (!result) return 0;
    const auto code =
        decimalInteger(*result, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    if (!code || *code == 0) return 0;
    const int status = static_cast<int>(static_cast<std::uint64_t>(*code) & 0xFF);
    return status == 0 ? 1 : status;
}

} // namespace torvex::cli
