#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// What a native pass read from outside its work folder, recorded so that the next build can tell
// without starting a process whether ninja or the install step would find something changed: the
// files that staging reaches through links (the plugins' folders, the project's entries beside the
// staged windows folder) and every other input of the build by an absolute path. What lies in the
// work folder itself is the staging's and the generated files' to judge.
namespace NativeInputs {

// One input as it was: its kind ('f' a regular file, 'd' a folder, 'o' anything else, '-' none),
// and a file's size and modification time (links followed).
struct Entry {
    std::string path;
    char kind = '-';
    std::uintmax_t size = 0;
    std::int64_t modified = 0;  // nanoseconds since the epoch

    static Entry of(const std::filesystem::path& path);
    bool operator==(const Entry&) const = default;
};

// Now, by the clock the kernel stamps files with: a write after this has a time no earlier.
std::chrono::system_clock::time_point fileClockNow();

// The paths that `ninja -t inputs` or `ninja -t deps` printed, relative ones taken from `buildTree`.
std::vector<std::filesystem::path> fromNinjaInputs(std::string_view output, const std::filesystem::path& buildTree);
std::vector<std::filesystem::path> fromNinjaDeps(std::string_view output, const std::filesystem::path& buildTree);

// What the file(INSTALL) rules of one cmake_install.cmake copy.
struct InstallSources {
    std::vector<std::filesystem::path> files;
    std::vector<std::filesystem::path> folders;  // copied with all they hold
};
InstallSources installSources(std::string_view script);

// The record text of `entries`, and the entries of a record text; none when it is not one whole.
std::string recordText(const std::vector<Entry>& entries);
std::optional<std::vector<Entry>> parseRecord(std::string_view text);

// Records the inputs of the native pass that began at `passStart` (fileClockNow) in the build tree `work`/cmake-build
// into `file` (atomically), asking `ninja` for them. No record is left when ninja cannot say, or when
// an input changed after the pass began (the build may have read it before the change).
// Answers why there is no record, or none.
std::optional<std::string> record(const std::filesystem::path& ninja, const std::filesystem::path& work,
                                  std::chrono::system_clock::time_point passStart, const std::filesystem::path& file,
                                  std::stop_token stop = {});

// Whether `file` holds a whole record and every input in it is as recorded. A missing or damaged
// record answers false.
bool unchanged(const std::filesystem::path& file);

} // namespace NativeInputs
} // namespace torvex
