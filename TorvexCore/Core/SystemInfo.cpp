#include "SystemInfo.h"

#include "ProcessRunner.h"

#include <fmt/format.h>

#include <charconv>
#include <vector>

namespace torvex {

namespace SystemInfo {

std::string operatingSystemName(const SystemFacts& facts) { return facts.operatingSystemName; }

OperatingSystemVersion operatingSystemVersion(const SystemFacts& facts) { return facts.operatingSystemVersion; }

std::string operatingSystemDescription(const SystemFacts& facts) {
    const auto& v = facts.operatingSystemVersion;
    return fmt::format("{} {}.{}.{}", facts.operatingSystemName, v.majorVersion, v.minorVersion, v.patchVersion);
}

bool isAppleSilicon(const SystemFacts& facts) { return facts.appleSilicon; }

bool isRosettaInstalled(const SystemFacts& facts, std::stop_token stop) {
    if (facts.rules == SystemFacts::Rules::otherUnix) return facts.machine == "x86_64";
    if (!facts.appleSilicon) return true;
    try {
        const ProcessSpec spec{facts.archTool, {"-x86_64", "/usr/bin/true"}, {}, std::nullopt};
        return ProcessRunner::shared().capture(spec, std::move(stop)).exitCode == 0;
    } catch (const TorvexError&) {
        return false;
    }
}

std::optional<std::int64_t> freeDiskBytes(const SystemFacts& facts) { return facts.freeDiskBytes; }

} // namespace SystemInfo

namespace SupportedFlutter {
namespace {

// A piece that is wholly a signed base-10 integer within 64 bits.
std::optional<std::int64_t> wholeInteger(std::string_view piece) {
    if (!piece.empty() && piece.front() == '+') {
        piece.remove_prefix(1);
        if (!piece.empty() && piece.front() == '-') return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (error != std::errc() || end != piece.data() + piece.size() || piece.empty()) return std::nullopt;
    return value;
}

} // namespace

std::string supportedRange() {
    return fmt::format("{}.{}\u2013{}.{}", newestTested.major, newestTested.minor - olderMinorsSupported,
                       newestTested.major, newestTested.minor);
}

Verdict check(const std::optional<std::string>& version) {
    if (!version) return {Verdict::Kind::unknown, {}};
    std::vector<std::int64_t> numbers;
    const std::string& text = *version;
    size_t start = 0;
    while (start <= text.size() && numbers.size() < 2) {
        const size_t dot = std::min(text.find('.', start), text.size());
        if (dot > start)
            if (const auto number = wholeInteger(std::string_view(text).substr(start, dot - start)))
                numbers.push_back(*number);
        start = dot + 1;
    }
    if (numbers.size() < 2) return {Verdict::Kind::unknown, {}};
    const std::int64_t major = numbers[0], minor = numbers[1];
    if (major > newestTested.major || (major == newestTested.major && minor > newestTested.minor))
        return {Verdict::Kind::newer, text};
    if (major < newestTested.major || minor < newestTested.minor - olderMinorsSupported)
        return {Verdict::Kind::older, text};
    return {Verdict::Kind::supported, {}};
}

std::optional<std::string> warning(const std::optional<std::string>& version) {
    const Verdict verdict = check(version);
    switch (verdict.kind) {
    case Verdict::Kind::newer:
        return "Flutter " + verdict.version + " is newer than Torvex has been tested with (" + supportedRange() +
               "). Continuing; please report problems.";
    case Verdict::Kind::older:
        return "Flutter " + verdict.version + " is older than Torvex supports (" + supportedRange() +
               "). Continuing, but consider `flutter upgrade`.";
    case Verdict::Kind::supported:
    case Verdict::Kind::unknown:
        break;
    }
    return std::nullopt;
}

} // namespace SupportedFlutter

} // namespace torvex
