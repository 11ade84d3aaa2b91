#pragma once

#include "Platform/SystemFacts.h"

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace torvex {

// Facts of the machine the system runs on. Every operation takes the facts it works from;
// the default is the running machine's, read at the call.
namespace SystemInfo {

inline constexpr std::string_view rosettaInstallCommand = "softwareupdate --install-rosetta --agree-to-license";
inline constexpr std::int64_t minimumFreeBytes = 5'000'000'000;  // decimal gigabytes

std::string operatingSystemName(const SystemFacts& facts = currentSystemFacts());
OperatingSystemVersion operatingSystemVersion(const SystemFacts& facts = currentSystemFacts());
// "Linux 6.1.0"
std::string operatingSystemDescription(const SystemFacts& facts = currentSystemFacts());
bool isAppleSilicon(const SystemFacts& facts = currentSystemFacts());
// Whether x86_64 programs (Wine) can run. Under the macOS rules on Apple silicon this runs
// `arch -x86_64 /usr/bin/true` and answers whether it exited 0; otherwise nothing is started.
// Never throws.
bool isRosettaInstalled(const SystemFacts& facts = currentSystemFacts(), std::stop_token stop = {});
std::optional<std::int64_t> freeDiskBytes(const SystemFacts& facts = currentSystemFacts());

} // namespace SystemInfo

// The Flutter versions the system is tested with, and the warning for others.
namespace SupportedFlutter {

struct MinorVersion {
    std::int64_t major;
    std::int64_t minor;
};

inline constexpr MinorVersion newestTested{3, 47};
inline constexpr std::int64_t olderMinorsSupported = 2;

// "3.45–3.47" (with an en dash).
std::string supportedRange();

struct Verdict {
    enum class Kind { newer, older, supported, unknown };
    Kind kind;
    std::string version;  // the text as passed, for newer and older; empty otherwise

    bool operator==(const Verdict&) const = default;
};

// The first two dot-separated integer pieces are major and minor; other pieces are skipped.
Verdict check(const std::optional<std::string>& version);

// The warning for a version outside the range; none for supported or unknown versions.
std::optional<std::string> warning(const std::optional<std::string>& version);

} // namespace SupportedFlutter

} // namespace torvex
