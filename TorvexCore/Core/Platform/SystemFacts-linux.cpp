#include "Platform/SystemFacts.h"

#include "Paths.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <charconv>
#include <limits>
#include <string_view>

namespace torvex {
namespace {

// "6.1.0-18-amd64" gives 6.1.0: the leading dot-separated numbers, missing ones 0.
OperatingSystemVersion parseRelease(std::string_view release) {
    std::int64_t parts[3] = {0, 0, 0};
    const char* cursor = release.data();
    const char* const end = release.data() + release.size();
    for (int i = 0; i < 3 && cursor < end; ++i) {
        const auto [next, error] = std::from_chars(cursor, end, parts[i]);
        if (error != std::errc() || next == cursor) break;
        cursor = next;
        if (cursor == end || *cursor != '.') break;
        ++cursor;
    }
    return {parts[0], parts[1], parts[2]};
}

std::optional<std::int64_t> freeBytes(const std::filesystem::path& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
    const unsigned __int128 bytes = static_cast<unsigned __int128>(info.f_bavail) * info.f_frsize;
    const auto max = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(bytes > max ? max : bytes);
}

} // namespace

SystemFacts currentSystemFacts() {
    SystemFacts facts;
    facts.rules = SystemFacts::Rules::otherUnix;
    struct utsname names {};
    if (::uname(&names) == 0) {
        facts.operatingSystemName = names.sysname;
        facts.operatingSystemVersion = parseRelease(names.release);
        facts.machine = names.machine;
    } else {
        facts.operatingSystemName = "Linux";
    }
    facts.appleSilicon = false;
    facts.freeDiskBytes = freeBytes(homeFolder());
    return facts;
}

} // namespace torvex
