#include "ZipUnpacker.h"

#include "Core/Files.h"
#include "Core/ProcessRunner.h"
#include "Core/StoppableSleep.h"
#include "Core/TorvexError.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>
#include <thread>

#include <sys/stat.h>

namespace torvex::ZipUnpacker {
namespace fs = std::filesystem;

namespace {

// One member as `unzip -Z -T` lists it.
struct Member {
    char type = '?';          // first character of the mode: '-' file, 'd' folder, 'l' link, ...
    std::uintmax_t size = 0;  // declared uncompressed size
    std::string name;         // control characters shown as ^X
};

std::string_view nextWord(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
}

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A member line: mode, version, system, size, text/binary, method, yyyymmdd.hhmmss, one blank and the
// name. Anything else (the header and the totals) is none.
std::optional<Member> parseMemberLine(std::string_view line) {
    std::string_view words[7];
    for (std::string_view& word : words) word = nextWord(line);
    const std::string_view stamp = words[6];
    const bool shaped = !words[0].empty() && allDigits(words[3]) && stamp.size() == 15 && stamp[8] == '.' &&
                        allDigits(stamp.substr(0, 8)) && allDigits(stamp.substr(9)) && line.size() > 1 &&
                        line.front() == ' ';
    if (!shaped) return std::nullopt;
    Member member{words[0].front(), 0, std::string(line.substr(1))};
    const auto [end, error] = std::from_chars(words[3].data(), words[3].data() + words[3].size(), member.size);
    if (error != std::errc()) member.size = std::numeric_limits<std::uintmax_t>::max();
    return member;
}

TorvexError refusal(const std::string& shownName, const std::string& why) {
    return TorvexError(TorvexError::Kind::generic, "Could not unpack " + shownName + ".", why,
                       "Torvex kept nothing of it. Check where it comes from (a mirror named by "
                       "FLUTTER_STORAGE_BASE_URL, say), then try again.");
}

TorvexError unzipFailure(const std::string& shownName, const ProcessResult& result) {
    return TorvexError(TorvexError::Kind::generic, "Could not unpack " + shownName + ".",
                       result.standardError.empty() ? result.standardOutput : result.standardError,
                       "Try the build again.");
}

TorvexError notPlain(const std::string& shownName, const std::string& member) {
    return refusal(shownName, "Its member \"" + member +
                                  "\" is a symbolic link or special file; Torvex unpacks only plain files and "
                                  "folders, so that nothing is written outside its cache.");
}

std::vector<Member> listMembers(const fs::path& unzip, const fs::path& archive,
                                const std::vector<std::string>& selection, const std::string& shownName,
                                std::stop_token stop) {
    ProcessSpec spec{unzip, {"-Z", "-T", archive.string()}, {}, std::nullopt};
    spec.arguments.insert(spec.arguments.end(), selection.begin(), selection.end());
    const ProcessResult result = ProcessRunner::shared().capture(spec, stop);
    if (stop.stop_requested()) throw Cancelled{};
    // 11: no member matched; the unpack itself then says so.
    if (result.exitCode != 0 && result.exitCode != 11) throw unzipFailure(shownName, result);
    std::vector<Member> members;
    std::string_view rest = result.standardOutput;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        if (auto member = parseMemberLine(rest.substr(0, end))) members.push_back(std::move(*member));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return members;
}

struct Survey {
    std::uintmax_t bytes = 0;        // in regular files
    std::optional<std::string> odd;  // the first entry that is neither a regular file nor a folder
    bool complete = true;            // every entry could be looked at
};

// Adds what lies below `folder` (links not followed) to `survey`. With `openFolders`, each folder
// first gets owner access, so that a mode from the archive cannot leave it unlistable or unremovable.
void surveyFolder(const fs::path& folder, const std::string& prefix, bool openFolders, Survey& survey) {
    struct stat info {};
    if (openFolders && ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        ::chmod(folder.c_str(), (info.st_mode & 07777) | S_IRWXU);
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = prefix + it->path().filename().string();
        if (::lstat(it->path().c_str(), &info) != 0) {
            survey.complete = false;
        } else if (S_ISDIR(info.st_mode)) {
            surveyFolder(it->path(), name + "/", openFolders, survey);
        } else if (S_ISREG(info.st_mode)) {
            survey.bytes += static_cast<std::uintmax_t>(info.st_size);
        } else if (!survey.odd) {
            survey.odd = name;
        }
    }
    if (error) survey.complete = false;
}

// A new, empty folder inside `target`, removed with all it holds when the scope ends.
struct FreshFolder {
    fs::path path;

    explicit FreshFolder(const fs::path& target) {
        std::string pattern = (target / ".unpack-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw fs::filesystem_error("cannot create a folder in", target, std::error_code(errno, std::generic_category()));
        path = pattern;
    }
    ~FreshFolder() {
        Survey ignored;
        surveyFolder(path, "", true, ignored);
        std::error_code error;
        fs::remove_all(path, error);
    }
    FreshFolder(const FreshFolder&) = delete;
    FreshFolder& operator=(const FreshFolder&) = delete;
};

// Runs `spec` to its end, or stops it as soon as the regular files below `folder` hold more than
// `allowed` bytes, which sets `exceeded`. The caller's stop request stops it as well.
ProcessResult runWithin(const ProcessSpec& spec, const fs::path& folder, std::uintmax_t allowed,
                        std::stop_token stop, bool& exceeded) {
    std::stop_source bounded;
    const std::stop_callback forward(stop, [&bounded] { bounded.request_stop(); });
    std::atomic<bool> over = false;
    std::jthread watcher([&](std::stop_token done) {
        while (!done.stop_requested()) {
            Survey survey;
            surveyFolder(folder, "", false, survey);
            if (survey.bytes > allowed) {
                over = true;
                bounded.request_stop();
                return;
            }
            sleepUnlessStopped(std::chrono::milliseconds(20), done);
        }
    });
    ProcessResult result = ProcessRunner::shared().capture(spec, bounded.get_token());
    watcher.request_stop();
    watcher.join();
    exceeded = over;
    return result;
}

// Moves everything below `from` into `to`, merging folders and replacing anything else.
void moveContents(const fs::path& from, const fs::path& to) {
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
        const fs::path destination = to / entry.path().filename();
        std::error_code error;
        if (fs::is_directory(entry.symlink_status()) && fs::is_directory(fs::symlink_status(destination, error))) {
            moveContents(entry.path(), destination);
            continue;
        }
        fs::remove_all(destination, error);
        fs::rename(entry.path(), destination);
    }
}

} // namespace

void unpack(const fs::path& unzip, const fs::path& archive, const std::vector<std::string>& selection,
            const fs::path& target, const std::string& shownName, std::stop_token stop) {
    std::uintmax_t declared = 0;
    for (const Member& member : listMembers(unzip, archive, selection, shownName, stop)) {
        if (member.type != '-' && member.type != 'd' && member.type != '?') throw notPlain(shownName, member.name);
        if (leavesItsFolder(member.name)) {
            throw refusal(shownName, "Its member \"" + member.name +
                                         "\" would be written outside the folder it is unpacked into.");
        }
        if (member.size > maximumUnpackedBytes - declared) {
            throw refusal(shownName, fmt::format("Its members come to more than the {} bytes Torvex unpacks from "
                                                 "one archive.",
                                                 maximumUnpackedBytes));
        }
        declared += member.size;
    }

    const FreshFolder fresh(target);
    ProcessSpec spec{unzip, {"-oq", archive.string()}, {}, std::nullopt};
    spec.arguments.insert(spec.arguments.end(), selection.begin(), selection.end());
    spec.arguments.insert(spec.arguments.end(), {"-d", fresh.path.string()});
    bool exceeded = false;
    const ProcessResult result = runWithin(spec, fresh.path, declared, stop, exceeded);
    const std::string liar = fmt::format("It unpacks to more than the {} bytes its members declare.", declared);
    if (exceeded) throw refusal(shownName, liar);
    if (stop.stop_requested()) throw Cancelled{};
    if (result.exitCode != 0) throw unzipFailure(shownName, result);

    Survey survey;
    surveyFolder(fresh.path, "", true, survey);
    if (survey.odd) throw notPlain(shownName, *survey.odd);
    if (!survey.complete) throw refusal(shownName, "Torvex could not look through all that it unpacked.");
    if (survey.bytes > declared) throw refusal(shownName, liar);
    moveContents(fresh.path, target);
}

} // namespace torvex::ZipUnpacker
