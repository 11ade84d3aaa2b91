#include "DiagnosticReport.h"

#include "Platform/Archive.h"
#include "Core/Files.h"
#include "Core/Profile.h"
#include "Core/SystemInfo.h"
#include "Core/TextFile.h"
#include "Core/TextPattern.h"
#include "Core/TorvexError.h"
#include "Core/UTF8.h"
#include "Core/Version.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace torvex {
namespace fs = std::filesystem;

namespace DiagnosticReport {
namespace {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the configuration's date origin.
constexpr double referenceEpoch = 978'307'200.0;

std::string internetDateTime(std::time_t seconds) {
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string internetDateTime(Time moment) { return internetDateTime(std::chrono::system_clock::to_time_t(moment)); }

std::string machineLine(const SystemFacts& facts) {
    const auto& v = facts.operatingSystemVersion;
    const std::string version = fmt::format("{}.{}.{}", v.majorVersion, v.minorVersion, v.patchVersion);
    if (facts.rules == SystemFacts::Rules::macOS)
        return "macOS: " + version + " (" + (facts.appleSilicon ? "Apple Silicon" : "Intel") + ")";
    return facts.operatingSystemName + ": " + version + " (" + facts.machine + ")";
}

// The summary before redaction.
std::string plainSummary(const TorvexPaths& paths, const std::optional<std::string>& cli,
                         const std::optional<fs::path>& flutterRoot, const std::vector<DoctorCheck>& extraChecks,
                         Time now, const Doctor::Inputs& inputs, std::stop_token stop) {
    std::vector<std::string> lines{"Torvex problem report", "Created: " + internetDateTime(now),
                                   "Torvex: " + TorvexVersion::current(), machineLine(inputs.facts)};
    if (const auto sdk = Doctor::flutterSDK(flutterRoot, inputs.environment)) {
        lines.push_back("Flutter: " + sdk->frameworkVersion().value_or("unknown") + " at " + sdk->root.string());
        try {
            lines.push_back("Engine: " + sdk->engineRevision());
        } catch (const TorvexError&) {
        } catch (const std::exception&) {
        }
    } else {
        lines.push_back("Flutter: not found");
    }
    const TorvexConfig config = TorvexConfig::load(paths);
    const Profile profile = config.currentProfile();
    lines.push_back("Profile: " + profile.name + " \u00B7 " + profile.summary());
    std::string completed = "no";
    if (config.onboardingCompletedAt && std::isfinite(*config.onboardingCompletedAt))
        completed = internetDateTime(static_cast<std::time_t>(std::floor(*config.onboardingCompletedAt + referenceEpoch)));
    lines.push_back("Setup completed: " + completed);
    lines.push_back("");
    lines.push_back("Setup checks:");

    std::vector<DoctorCheck> checks = Doctor::run(paths, cli, flutterRoot, std::nullopt, inputs, stop);
    if (stop.stop_requested()) throw Cancelled{};
    checks.insert(checks.end(), extraChecks.begin(), extraChecks.end());
    for (const auto& check : checks) {
        lines.push_back("  " + std::string(check.symbol()) + " " + check.title + ": " + check.detail);
        if (check.status != DoctorCheck::Status::ok && check.fix) lines.push_back("      \u2192 " + *check.fix);
    }

    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}


bool isNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

} // namespace

std::string redacted(std::string_view text, std::string_view home) {
    while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
    if (home.size() < 2) return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::size_t done = 0;
    for (std::size_t found = text.find(home); found != std::string_view::npos; found = text.find(home, found + 1)) {
        if (found < done) continue;
        const std::size_t after = found + home.size();
        const bool goesOn =
            after < text.size() &&
            (isNameCharacter(text[after]) ||
             (text[after] == '.' && after + 1 < text.size() && (isNameCharacter(text[after + 1]) || text[after + 1] == '.')));
        if (goesOn) continue;
        result.append(text.substr(done, found - done));
        result += '~';
        done = after;
    }
    result.append(text.substr(done));
    return result;
}

const std::vector<CredentialForm>& credentialForms() {
    // What a secret-named setting is called: GITHUB_TOKEN, password, client_secret, api-key…
    static const std::string secretName =
        "[A-Za-z0-9_.-]*(?:password|passwd|secret|token|api[_-]?key|access[_-]?key|private[_-]?key|credentials?)";

    // An environment variable's name that says it holds a secret: DB_PASS, GITHUB_TOKEN, STRIPE_KEY…
    static const std::string secretVariable =
        "(?<![A-Za-z0-9_])(?:[A-Z0-9_]*(?:PASSWORD|PASSWD|SECRET|TOKEN|APIKEY)|(?:[A-Z0-9_]*_)?(?:PASS|KEY)|"
        "SSHPASS|MYSQL_PWD|SENTRY_DSN|NPM_CONFIG__AUTH)";
    // A value as written after "=" or an option: quoted, or one word.
    static const std::string value = R"(("[^"\n]*"|'[^'\n]*'|[^\s"'&;,]+))";

    static const auto* table = new std::vector<CredentialForm>{
        {"HTTP authorization header",
         R"((?i)(\b(?:proxy-)?authorization\s*[:=]\s*(?:(?:bearer|basic|token|digest|negotiate)\s+)?)([^\s"',;]+))"},
        {"HTTP key header",
         R"((?i)(\b(?:x-api-key|api-key|apikey|x-auth-token|x-access-token|x-amz-security-token|x-goog-api-key|)"
         R"(x-vault-token|x-gitlab-token|private-token|x-csrf-token|x-xsrf-token|ocp-apim-subscription-key))"
         R"([ \t]*:[ \t]*)([^\s"',;]+))"},
        // Every name=value pair of a Cookie header, the one pair of a Set-Cookie header.
        {"HTTP cookie header", R"((?i)((?:(?<![\w-])cookie[ \t]*:[ \t]*|(?!^)\G;[ \t]*)[^=\s;,]+=)([^;\s]+))"},
        {"HTTP set-cookie header", R"((?i)(\bset-cookie[ \t]*:[ \t]*[^=\s;,]+=)([^;\s]+))"},
        {"bearer token", R"((?i)(\bbearer\s+)([A-Za-z0-9._~+/-]{8,}=*))"},
        {"secret-named assignment", "(?i)(\\b" + secretName + "=)" + value},
        {"secret-named variable", "(" + secretVariable + "[ \t]*=[ \t]*(?!=))" + value},
        {"secret-named option and its argument",
         "(?i)((?<![\\w-])--?" + secretName + R"([ \t]+)("[^"\n]*"|'[^'\n]*'|[^\s"'-][^\s"']*))"},
        {"secret-named JSON member", "(?i)(\"" + secretName + R"("\s*:\s*")([^"\n]*)("))"},
        {"secret-named YAML line", "(?im)(^\\s*" + secretName + R"(:[ \t]+)([^\s"'{\[].*)$)"},
        {"password in a URL", R"((\b[A-Za-z][A-Za-z0-9+.-]*://[^\s/:@]+:)([^\s/@]+)(@))"},
        {"GitHub token", R"(()\b(gh[pousr]_[A-Za-z0-9]{20,}|github_pat_[A-Za-z0-9_]{20,}))"},
        {"GitLab token", R"(()\b(glpat-[A-Za-z0-9_-]{20,}))"},
        {"Slack token", R"(()\b(xox[abposr]-[A-Za-z0-9-]{10,}))"},
        {"AWS access key id", R"(()\b((?:AKIA|ASIA)[0-9A-Z]{16})\b)"},
        {"Google API key", R"(()\b(AIza[0-9A-Za-z_-]{35})(?![0-9A-Za-z_-]))"},
        {"Stripe secret key", R"(()\b((?:sk|rk)_(?:live|test)_[0-9A-Za-z]{16,}))"},
        {"npm token", R"(()\b(npm_[A-Za-z0-9]{36})\b)"},
        {"private key block", R"((-----BEGIN [A-Z ]*PRIVATE KEY-----)([\s\S]*?)(-----END [A-Z ]*PRIVATE KEY-----))"},
    };
    return *table;
}

std::string maskedCredentials(std::string_view text) {
    static const auto* patterns = [] {
        auto* compiled = new std::vector<TextPattern>;
        for (const auto& form : credentialForms()) compiled->emplace_back(form.pattern);
        return compiled;
    }();
    std::string result(text);
    for (const TextPattern& pattern : *patterns) {
        const auto matches = pattern.allMatches(result);
        if (matches.empty()) continue;
        std::string masked;
        std::size_t copied = 0;
        for (const auto& match : matches) {
            masked.append(result, copied, match.begin - copied);
            masked += match.groups.at(0).value_or("") + "[masked]";
            if (match.groups.size() > 2) masked += match.groups[2].value_or("");
            copied = match.end;
        }
        masked.append(result, copied);
        result = std::move(masked);
    }
    return result;
}

std::vector<std::string> homeSpellings(const fs::path& home) {
    std::vector<std::string> spellings{home.string()};
    fs::path normal = home.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    spellings.push_back(normal.string());
    std::error_code error;
    const fs::path resolved = fs::canonical(home, error);
    if (!error) spellings.push_back(resolved.string());
    std::stable_sort(spellings.begin(), spellings.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    std::vector<std::string> distinct;
    for (auto& spelling : spellings)
        if (std::find(distinct.begin(), distinct.end(), spelling) == distinct.end()) distinct.push_back(std::move(spelling));
    return distinct;
}

std::string shareable(std::string_view text, const std::vector<std::string>& homes) {
    std::string result = maskedCredentials(text);
    for (const auto& home : homes) result = redacted(result, home);
    return result;
}

std::string stamp(Time now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    ::tzset();
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &local);
    return text;
}

std::vector<fs::path> recentLogs(const fs::path& folder, Time now) {
    struct Log {
        fs::path path;
        Time modified;
    };
    std::vector<Log> logs;
    std::error_code error;
    for (fs::directory_iterator entries(folder, error), end; !error && entries != end; entries.increment(error)) {
        const fs::path& path = entries->path();
        if (path.extension() != ".log") continue;
        std::error_code unreadable;
        if (!fs::is_regular_file(entries->symlink_status(unreadable)) || unreadable) continue;
        const auto written = fs::last_write_time(path, unreadable);
        if (unreadable) continue;
        const Time modified = std::chrono::time_point_cast<Time::duration>(std::chrono::file_clock::to_sys(written));
        if (now - modified > logAgeLimit) continue;
        logs.push_back({path, modified});
    }
    std::stable_sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) { return a.modified > b.modified; });
    std::vector<fs::path> result;
    for (std::size_t i = 0; i < logs.size() && i < logCountLimit; ++i) result.push_back(logs[i].path);
    return result;
}

std::string tail(const fs::path& file, std::uint64_t bytes) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "";
    const off_t end = ::lseek(fd, 0, SEEK_END);
    const std::uint64_t size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    const std::uint64_t start = size > bytes ? size - bytes : 0;
    // Only what was there when measured: a log that keeps growing does not keep the read going.
    std::string content(static_cast<std::size_t>(size - start), '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t count =
            ::pread(fd, content.data() + filled, content.size() - filled, static_cast<off_t>(start + filled));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        filled += static_cast<std::size_t>(count);
    }
    ::close(fd);
    content.resize(filled);
    std::string text = repairedUTF8(content);
    if (start > 0) {
        const auto lineEnd = text.find('\n');
        if (lineEnd != std::string::npos) text = "[\u2026 earlier lines omitted]\n" + text.substr(lineEnd + 1);
    }
    return text;
}

std::string summary(const TorvexPaths& paths, const std::optional<std::string>& cli,
                    const std::optional<fs::path>& flutterRoot, const std::vector<DoctorCheck>& extraChecks, Time now,
                    const Doctor::Inputs& inputs, std::stop_token stop) {
    return shareable(plainSummary(paths, cli, flutterRoot, extraChecks, now, inputs, std::move(stop)),
                     homeSpellings(homeFolder(inputs.environment)));
}

fs::path create(const TorvexPaths& paths, const std::optional<std::string>& cli,
                const std::optional<fs::path>& flutterRoot, const std::vector<DoctorCheck>& extraChecks, Time now,
                const Doctor::Inputs& inputs, std::stop_token stop) {
    const std::vector<std::string> homes = homeSpellings(homeFolder(inputs.environment));
    const std::string name = "Torvex-Report-" + stamp(now);
    const fs::path reports = paths.logs / "Reports";
    const fs::path work = reports / name;
    std::error_code ignored;
    fs::remove_all(work, ignored);
    fs::create_directories(work / "logs");
    const RemoveOnExit cleanup{work};

    const std::vector<fs::path> logs = recentLogs(paths.logs, now);
    std::string text = plainSummary(paths, cli, flutterRoot, extraChecks, now, inputs, stop);
    text += "\nLogs included (last 7 days, at most 256 KB each):\n";
    for (const auto& log : logs) text += "  " + log.filename().string() + "\n";
    if (logs.empty()) text += "  (none)\n";
    writeFileAtomically(work / "report.txt", shareable(text, homes));
    for (const auto& log : logs)
        writeFileAtomically(work / "logs" / log.filename(), shareable(tail(log, tailLimit), homes));

    const fs::path zip = reports / (name + ".zip");
    fs::remove(zip, ignored);
    const ProcessResult result = Archive::zipFolder(work, zip, stop);
    if (result.exitCode != 0 || stop.stop_requested()) {
        if (!fs::is_directory(fs::symlink_status(zip, ignored))) fs::remove(zip, ignored);
        if (stop.stop_requested()) throw Cancelled{};
        throw TorvexError(TorvexError::Kind::generic, "Couldn't create the problem report.",
                          trimmedWhitespace(result.standardError), "Check there is free disk space, then try again.");
    }
    return zip;
}

} // namespace DiagnosticReport

} // namespace torvex
