#include "Profile.h"

#include "FileLock.h"
#include "Files.h"
#include "JSONNumber.h"
#include "JSONText.h"
#include "Log.h"
#include "TextFile.h"
#include "TorvexError.h"
#include "UTF8.h"
#include "UnicodeText.h"
#include "VisibleText.h"

#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace torvex {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::int64_t saturated(__int128 value) {
    if (value > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
    if (value < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// 2001-01-01 00:00:00 UTC in seconds since the Unix epoch.
constexpr double referenceEpoch = 978307200.0;

// Why a configuration file does not decode.
struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const json& member(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) throw DecodeError(fmt::format("\"{}\" is missing", key));
    return *found;
}

const json* optionalMember(const json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::string decodeString(const json& value, const char* key) {
    if (!value.is_string()) throw DecodeError(fmt::format("\"{}\" is not a string", key));
    return value.get<std::string>();
}

std::int64_t decodeInteger(const json& value, const char* key) {
    if (const auto number = wholeNumber(value)) return *number;
    throw DecodeError(fmt::format("\"{}\" is not a whole number within 64 bits", key));
}

Profile decodeProfile(const json& value) {
    if (!value.is_object()) throw DecodeError("a profile is not an object");
    Profile profile;
    profile.id = decodeString(member(value, "id"), "id");
    profile.name = decodeString(member(value, "name"), "name");
    profile.dpi = decodeInteger(member(value, "dpi"), "dpi");
    profile.width = decodeInteger(member(value, "width"), "width");
    profile.height = decodeInteger(member(value, "height"), "height");
    const auto theme = themeFromRawValue(decodeString(member(value, "theme"), "theme"));
    if (!theme) throw DecodeError("\"theme\" is neither \"light\" nor \"dark\"");
    profile.theme = *theme;
    profile.locale = decodeString(member(value, "locale"), "locale");
    return profile;
}

TorvexConfig decodeConfig(const std::string& bytes) {
    const json document = json::parse(bytes);  // throws parse_error on bad JSON
    if (!document.is_object()) throw DecodeError("the file is not a JSON object");
    TorvexConfig config;
    const json& profiles = member(document, "profiles");
    if (!profiles.is_array()) throw DecodeError("\"profiles\" is not a list");
    config.profiles.clear();
    for (const auto& profile : profiles) config.profiles.push_back(decodeProfile(profile));
    config.currentProfileID = decodeString(member(document, "currentProfileID"), "currentProfileID");
    if (const json* value = optionalMember(document, "captureFolder"))
        config.captureFolder = decodeString(*value, "captureFolder");
    if (const json* value = optionalMember(document, "flutterRoot"))
        config.flutterRoot = decodeString(*value, "flutterRoot");
    if (const json* value = optionalMember(document, "onboardingCompletedAt")) {
        if (!value->is_number()) throw DecodeError("\"onboardingCompletedAt\" is not a number");
        config.onboardingCompletedAt = value->get<double>();
    }
    return config;
}

// A whole number of seconds is written without a fraction; reading it back gives the same double.
json encodeSeconds(double seconds) {
    if (std::trunc(seconds) == seconds && std::fabs(seconds) < 9007199254740992.0)
        return static_cast<std::int64_t>(seconds);
    return seconds;
}

// JSON holds only UTF-8: anything else is repaired with U+FFFD rather than refused.
json text(const std::string& value) { return repairedUTF8(value); }

json encodeConfig(const TorvexConfig& config) {
    json profiles = json::array();
    for (const auto& p : config.profiles) {
        profiles.push_back({{"id", text(p.id)}, {"name", text(p.name)}, {"dpi", p.dpi}, {"width", p.width},
                            {"height", p.height}, {"theme", std::string(rawValue(p.theme))}, {"locale", text(p.locale)}});
    }
    json document = {{"profiles", profiles}, {"currentProfileID", text(config.currentProfileID)}};
    if (config.captureFolder) document["captureFolder"] = text(*config.captureFolder);
    if (config.onboardingCompletedAt) document["onboardingCompletedAt"] = encodeSeconds(*config.onboardingCompletedAt);
    if (config.flutterRoot) document["flutterRoot"] = text(*config.flutterRoot);
    return document;
}

fs::path configFile(const TorvexPaths& paths) { return paths.support / "config.json"; }

// The file's bytes; nullopt when there is no regular file to read.
std::optional<std::string> readWhole(const fs::path& file, std::string& problem) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        if (fs::exists(file, error)) problem = "it is not a regular file";
        return std::nullopt;
    }
    auto bytes = readRegularFile(file);  // never throws, even if the file was swapped meanwhile
    if (!bytes) problem = "it cannot be read";
    return bytes;
}

// Why the existing file cannot be decoded; nullopt when it decodes or does not exist.
std::optional<std::string> decodeProblem(const fs::path& file) {
    std::string problem;
    const auto bytes = readWhole(file, problem);
    if (!bytes) return problem.empty() ? std::nullopt : std::optional(problem);
    try {
        decodeConfig(*bytes);
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
}

// Keeps an undecodable configuration under another name, so that saving never destroys it.
void keepDamagedFile(const fs::path& file) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    fs::path target = file;
    target += std::string(".damaged-") + stamp;
    for (int n = 2; fs::exists(fs::symlink_status(target)); ++n) {
        target = file;
        target += fmt::format(".damaged-{}-{}", stamp, n);
    }
    // A second link keeps the file in place as well, so a write that fails afterwards loses nothing.
    // What cannot be linked (a folder) is moved aside.
    if (::link(file.c_str(), target.c_str()) != 0) fs::rename(file, target);
    Log::process().notice(fmt::format("kept the undecodable configuration as {}", target.string()));
}

// Whether `name` is "<file name>." and six letters or digits, as an atomic write's temporary file
// is named. Six lower-case letters are taken for a word ("config.json.backup"), a user's own file.
bool isTemporaryOf(const std::string& name, const std::string& file) {
    constexpr std::size_t randomPart = 6;
    if (name.size() != file.size() + 1 + randomPart || !name.starts_with(file + ".")) return false;
    const auto random = std::string_view(name).substr(name.size() - randomPart);
    const auto isLower = [](char c) { return c >= 'a' && c <= 'z'; };
    const auto isOther = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
    return std::all_of(random.begin(), random.end(), [&](char c) { return isLower(c) || isOther(c); }) &&
           std::any_of(random.begin(), random.end(), isOther);
}

// Removes the temporary files of saves that a crash cut short. Every save writes its temporary
// file under the lock, so one found while the caller holds the lock is stale. Only regular files
// go; a failure is logged and leaves the save unharmed.
void removeStaleTemporaries(const fs::path& file) {
    const std::string name = file.filename().string();
    std::error_code error;
    for (auto entry = fs::directory_iterator(file.parent_path(), error); !error && entry != fs::directory_iterator();
         entry.increment(error)) {
        if (!isTemporaryOf(entry->path().filename().string(), name)) continue;
        std::error_code failed;
        if (!entry->is_regular_file(failed) || entry->is_symlink(failed)) continue;
        if (fs::remove(entry->path(), failed))
            Log::process().notice(fmt::format("removed {}, left by a save that did not finish", entry->path().string()));
        else if (failed)
            Log::process().error(fmt::format("could not remove {}: {}", entry->path().string(), failed.message()));
    }
}

// The whole configuration file replaced. The caller holds the lock.
void writeConfig(const TorvexConfig& config, const fs::path& file) {
    const std::string bytes = encodeConfig(config).dump(2) + "\n";
    removeStaleTemporaries(file);
    if (decodeProblem(file)) keepDamagedFile(file);
    writeFileAtomically(file, bytes);
}

// The lock beside the configuration that a load-change-save holds. It is held only that long, so
// a long wait means a stuck process.
FileLock lockConfig(const fs::path& support) {
    constexpr std::chrono::seconds patience{30};
    const fs::path file = support / "config.json.lock";
    if (auto lock = FileLock::acquire(file, {}, patience)) return std::move(*lock);
    throw TorvexError(TorvexError::Kind::generic, "Could not save the Torvex settings.",
                      "Another Torvex process has held " + file.string() + " for " + std::to_string(patience.count()) +
                          " seconds.",
                      "Quit other Torvex processes, or end the one that hangs, and try again.");
}

std::string idBase(std::string_view name) {
    std::string utf8;
    for (const UserPerceivedCharacter& character : userPerceivedCharacters(lowercased(name))) {
        if (isLetterOrNumber(character.first)) utf8 += character.text;
        else utf8 += '-';
    }

    std::string result;
    size_t start = 0;
    while (start <= utf8.size()) {
        const size_t hyphen = std::min(utf8.find('-', start), utf8.size());
        if (hyphen > start) {
            if (!result.empty()) result.push_back('-');
            result.append(utf8, start, hyphen - start);
        }
        start = hyphen + 1;
    }
    return result.empty() ? "profile" : result;
}

} // namespace

Profile Profile::defaultProfile() { return Profile{"default", "Windows 11", 96, 1280, 720, Theme::light, "en-US"}; }

std::int64_t Profile::scalePercent() const { return saturated(static_cast<__int128>(dpi) * 100 / 96); }

std::string Profile::summary() const {
    const std::string_view raw = rawValue(theme);
    const std::string themeName = std::string(1, static_cast<char>(raw[0] - 'a' + 'A')) + std::string(raw.substr(1));
    return fmt::format("{}×{} · {} % · {} · {}", width, height, scalePercent(), themeName, locale);
}

std::string Profile::posixLocale() const {
    std::string result = locale;
    for (char& c : result)
        if (c == '-') c = '_';
    return result + ".UTF-8";
}

std::string_view rawValue(Profile::Theme theme) { return theme == Profile::Theme::light ? "light" : "dark"; }

std::optional<Profile::Theme> themeFromRawValue(std::string_view text) {
    for (const auto theme : Profile::allThemes)
        if (rawValue(theme) == text) return theme;
    return std::nullopt;
}

double referenceSeconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count() - referenceEpoch;
}

TorvexConfig TorvexConfig::load(const TorvexPaths& paths) {
    const fs::path file = configFile(paths);
    std::string problem;
    try {
        if (const auto bytes = readWhole(file, problem)) return decodeConfig(*bytes);
    } catch (const std::exception& error) {
        problem = error.what();
    }
    if (!problem.empty())
        Log::process().error(
            fmt::format("{} does not decode ({}); using the default configuration", file.string(), problem));
    return TorvexConfig();
}

void TorvexConfig::save(const TorvexPaths& paths) const {
    fs::create_directories(paths.support);
    const FileLock lock = lockConfig(paths.support);
    writeConfig(*this, configFile(paths));
}

TorvexConfig TorvexConfig::update(const TorvexPaths& paths, const std::function<void(TorvexConfig&)>& change) {
    fs::create_directories(paths.support);
    const FileLock lock = lockConfig(paths.support);
    TorvexConfig config = load(paths);
    change(config);
    writeConfig(config, configFile(paths));
    return config;
}

std::string TorvexConfig::compactJSON() const { return withEscapedSlashes(encodeConfig(*this).dump()); }

Profile TorvexConfig::currentProfile() const {
    for (const auto& profile : profiles)
        if (profile.id == currentProfileID) return profile;
    return profiles.empty() ? Profile::defaultProfile() : profiles.front();
}

void TorvexConfig::setCurrentProfile(const Profile& profile) {
    bool replaced = false;
    for (auto& existing : profiles) {
        if (existing.id == profile.id) {
            existing = profile;
            replaced = true;
            break;
        }
    }
    if (!replaced) profiles.push_back(profile);
    currentProfileID = profile.id;
}

fs::path TorvexConfig::captureDirectory() const {
    if (captureFolder) return fs::path(*captureFolder);
    return homeFolder() / "Desktop";
}

void requireProfileIDFits(std::string_view id, std::string_view name) {
    if (id.size() <= longestProfileID) return;
    constexpr std::size_t shownCharacters = 40;
    const std::string visible = visibleText(name);
    std::size_t end = 0, characters = 0;
    while (end < visible.size() && characters < shownCharacters) {
        ++end;
        while (end < visible.size() && (static_cast<unsigned char>(visible[end]) & 0xC0) == 0x80) ++end;
        ++characters;
    }
    const std::string shown = visible.substr(0, end) + (end < visible.size() ? "\u2026" : "");
    throw TorvexError(TorvexError::Kind::usage, "The profile name \u201C" + shown + "\u201D is too long.",
                      fmt::format("Its id would be {} bytes long; an id names the folder of the profile's Windows "
                                  "environment, which holds at most {}.",
                                  id.size(), longestProfileID),
                      "Give the profile a shorter name.");
}

std::string TorvexConfig::newProfileID(std::string_view displayName) const {
    const std::string base = idBase(displayName);
    const auto taken = [&](const std::string& id) {
        for (const auto& profile : profiles)
            if (profile.id == id) return true;
        return false;
    };
    std::string candidate = base;
    for (std::int64_t n = 2; taken(candidate); ++n) candidate = base + "-" + std::to_string(n);
    return candidate;
}

} // namespace torvex
