#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace torvex {

struct OperatingSystemVersion {
    std::int64_t majorVersion = 0;
    std::int64_t minorVersion = 0;
    std::int64_t patchVersion = 0;

    bool operator==(const OperatingSystemVersion&) const = default;
};

// What the system facts are computed from. The running machine's come from currentSystemFacts();
// tests make their own to reach the rules of another platform.
struct SystemFacts {
    // Which rules apply: on macOS Rosetta 2 is probed with the arch tool on Apple silicon;
    // elsewhere x86_64 programs run natively on x86_64 only.
    enum class Rules { macOS, otherUnix };

    Rules rules = Rules::otherUnix;
    std::string operatingSystemName;           // "Linux", "macOS"
    OperatingSystemVersion operatingSystemVersion;
    std::string machine;                       // the processor as uname names it: "x86_64", "aarch64", "arm64"
    bool appleSilicon = false;
    std::optional<std::int64_t> freeDiskBytes; // available to the user on the home folder's volume
    std::filesystem::path archTool = "/usr/bin/arch";  // started only under the macOS rules
};

// The running machine's facts, read now (uname, statvfs of the home folder).
SystemFacts currentSystemFacts();

} // namespace torvex
