#include "TorvexError.h"

#include <exception>
#include <utility>

namespace torvex {

TorvexError::TorvexError(Kind kind, std::string what, std::string why, std::string fix)
    : kind(kind), what(std::move(what)), why(std::move(why)), fix(std::move(fix)) {}

std::string TorvexError::description() const {
    return what + "\n  Why: " + why + "\n  Fix: " + fix;
}

std::int32_t TorvexError::rawValue(Kind kind) { return static_cast<std::int32_t>(kind); }

std::optional<TorvexError::Kind> TorvexError::kindFromRawValue(std::int32_t raw) {
    const auto value = static_cast<std::uint32_t>(raw);
    if (value < 1 || value > 5) return std::nullopt;
    return static_cast<Kind>(value);
}

std::string describeCurrentException() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (const TorvexError& error) {
        return error.description();
    } catch (const Cancelled&) {
        return "cancelled";
    } catch (...) {
        return "an exception of unknown type";
    }
}

} // namespace torvex
