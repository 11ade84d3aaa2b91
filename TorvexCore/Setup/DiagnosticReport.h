#pragma once

#include "Doctor.h"
#include "Core/Paths.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// The problem report: one zip in logs/"Reports" holding a text summary (versions, the machine,
// Flutter, the current profile, setup, every doctor check) and the tails of the recent logs, with
// the home folder's path replaced by "~" and credentials masked everywhere. No project sources.
namespace DiagnosticReport {

inline constexpr const char* supportEmail = "support@torvex.dev";
inline constexpr const char* issuesURL = "https://github.com/torvex-dev/torvex/issues/new";
inline constexpr const char* website = "https://torvex.dev";

inline constexpr std::chrono::seconds logAgeLimit{604'800};  // 7 days
inline constexpr std::size_t logCountLimit = 10;
inline constexpr std::uint64_t tailLimit = 262'144;          // bytes from the end of each log

using Time = std::chrono::system_clock::time_point;

// Writes logs/Reports/Torvex-Report-<stamp>.zip, whose one top-level folder holds "report.txt"
// and "logs/". The work folder beside it is always removed, and a failed zip leaves no file.
// Throws file-system errors unchanged, a TorvexError when the zip cannot be made, and Cancelled on
// a stop request. `extraChecks` follow the doctor's own.
std::filesystem::path create(const TorvexPaths& paths, const std::optional<std::string>& cli,
                             const std::optional<std::filesystem::path>& flutterRoot,
                             const std::vector<DoctorCheck>& extraChecks, Time now,
                             const Doctor::Inputs& inputs = {}, std::stop_token stop = {});

// The summary text, redacted. Never throws (but Cancelled).
std::string summary(const TorvexPaths& paths, const std::optional<std::string>& cli,
                    const std::optional<std::filesystem::path>& flutterRoot,
                    const std::vector<DoctorCheck>& extraChecks, Time now, const Doctor::Inputs& inputs = {},
                    std::stop_token stop = {});

// The regular files named *.log directly in `folder`, modified at most 7 days before `now` (or
// after it), newest first, at most 10. An unlistable folder gives none.
std::vector<std::filesystem::path> recentLogs(const std::filesystem::path& folder, Time now);

// The last `bytes` of the file as text (invalid UTF-8 repaired). When the file is longer, the
// text starts after the first line feed, under the line "[… earlier lines omitted]". An
// unreadable file gives "".
std::string tail(const std::filesystem::path& file, std::uint64_t bytes);

// `now` in the local time zone, "yyyy-MM-dd-HHmmss".
std::string stamp(Time now);

// `text` with every occurrence of `home` that does not go on as a longer name replaced by "~": the
// next character is no ASCII letter, digit, "_" or "-", and no "." followed by one of those or
// another ".". A home shorter than 2 characters (after trailing slashes) redacts nothing.
std::string redacted(std::string_view text, std::string_view home);

// The spellings of the home folder that the report redacts, longest first: as given, normalised
// (no "//", "." or trailing "/") and with its links resolved.
std::vector<std::string> homeSpellings(const std::filesystem::path& home);

// One well-known form in which a credential is written: a pattern whose group 1 is kept, group 2
// (the credential) masked, and group 3, when there is one, kept.
struct CredentialForm {
    std::string name;
    std::string pattern;
};
const std::vector<CredentialForm>& credentialForms();

// `text` with the credential of every credentialForms match replaced by "[masked]", and nothing
// else changed.
std::string maskedCredentials(std::string_view text);

// What goes into the report of `text`: credentials masked and every home spelling redacted.
std::string shareable(std::string_view text, const std::vector<std::string>& homes);

} // namespace DiagnosticReport

} // namespace torvex
