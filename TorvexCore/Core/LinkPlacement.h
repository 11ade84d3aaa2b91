#pragma once

// Header only: torvex-cc, which links nothing of Core but the UTF-8 check, calls it too.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

namespace torvex {

// Puts a symbolic link to `target` at `place` in one step, replacing a file or link there: the link
// is made beside it under a name of this process's own, then renamed. File-system errors are thrown
// (std::filesystem::filesystem_error) and leave no temporary link.
inline void placeLink(const std::filesystem::path& target, const std::filesystem::path& place) {
    static std::atomic<unsigned> made = 0;
    const std::filesystem::path temporary =
        place.parent_path() /
        ("." + place.filename().string() + ".link-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);  // left by a process that crashed under the same pid
    std::filesystem::create_symlink(target, temporary);
    try {
        std::filesystem::rename(temporary, place);
    } catch (...) {
        std::filesystem::remove(temporary, ignored);
        throw;
    }
}

// placeLink, after making the folder of `place`, unless `place` is a link to `target` already.
inline void ensureLink(const std::filesystem::path& target, const std::filesystem::path& place) {
    std::error_code error;
    if (std::filesystem::read_symlink(place, error) == target && !error) return;
    std::filesystem::create_directories(place.parent_path());
    placeLink(target, place);
}

} // namespace torvex
