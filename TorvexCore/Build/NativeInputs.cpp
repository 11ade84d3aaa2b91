#include "NativeInputs.h"

#include "Core/Files.h"
#include "Core/ProcessRunner.h"
#include "Core/TextFile.h"
#include "Core/TextPattern.h"

#include <charconv>
#include <set>
#include <system_error>

#include <sys/stat.h>
#include <time.h>

namespace torvex::NativeInputs {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view header = "torvex native inputs 1\n";
constexpr std::string_view trailer = "end\n";

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        found.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return found;
}

fs::path absoluteIn(const fs::path& buildTree, std::string_view path) {
    return (buildTree / fs::path(path)).lexically_normal();
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// CMake's quoting in generated scripts: a backslash takes the next character as it is.
std::string unquoted(std::string_view quoted) {
    std::string text;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size()) ++i;
        text += quoted[i];
    }
    return text;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool inside(const fs::path& path, const std::string& folder) {
    const std::string text = path.string();
    return text == folder || text.starts_with(folder + "/");
}

// The cmake_install.cmake scripts of a build tree (CMake's own folders hold none).
std::vector<fs::path> installScripts(const fs::path& buildTree) {
    std::vector<fs::path> scripts;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(buildTree, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->path().filename() == "CMakeFiles") {
            it.disable_recursion_pending();
        } else if (it->path().filename() == "cmake_install.cmake" && !it->is_symlink()) {
            scripts.push_back(it->path());
        }
    }
    return scripts;
}

} // namespace

std::chrono::system_clock::time_point fileClockNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

Entry Entry::of(const fs::path& path) {
    Entry entry{path.string()};
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return entry;
    if (S_ISREG(info.st_mode)) {
        entry.kind = 'f';
        entry.size = static_cast<std::uintmax_t>(info.st_size);
    } else if (S_ISDIR(info.st_mode)) {
        entry.kind = 'd';
    } else {
        entry.kind = 'o';
        return entry;
    }
    entry.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    return entry;
}

std::vector<fs::path> fromNinjaInputs(std::string_view output, const fs::path& buildTree) {
    std::vector<fs::path> paths;
    for (std::string_view line : lines(output)) {
        if (!line.empty()) paths.push_back(absoluteIn(buildTree, line));
    }
    return paths;
}

std::vector<fs::path> fromNinjaDeps(std::string_view output, const fs::path& buildTree) {
    // "<target>: #deps N, deps mtime T (VALID)", then each dependency indented by four blanks.
    std::vector<fs::path> paths;
    for (std::string_view line : lines(output)) {
        if (!line.starts_with("    ")) continue;
        line.remove_prefix(line.find_first_not_of(' '));
        if (!line.empty()) paths.push_back(absoluteIn(buildTree, line));
    }
    return paths;
}

InstallSources installSources(std::string_view script) {
    static const TextPattern rule(R"re(file\(INSTALL DESTINATION "(?:[^"\\]|\\.)*" TYPE (\w+)[^()]*? FILES((?:\s+"(?:[^"\\]|\\.)*")+))re");
    static const TextPattern quoted(R"re("((?:[^"\\]|\\.)*)")re");
    InstallSources sources;
    for (const TextPattern::Match& match : rule.allMatches(script)) {
        const bool folders = match.groups[0] == "DIRECTORY";
        for (const TextPattern::Match& name : quoted.allMatches(*match.groups[1])) {
            const std::string path = unquoted(name.groups[0].value_or(""));
            // Evaluated when the build runs, not a fixed file.
            if (path.empty() || path.find("${") != std::string::npos || path.find("$<") != std::string::npos) continue;
            (folders ? sources.folders : sources.files).push_back(fs::path(withoutTrailingSlashes(path)).lexically_normal());
        }
    }
    return sources;
}

std::string recordText(const std::vector<Entry>& entries) {
    std::string text(header);
    for (const Entry& entry : entries) {
        text += entry.kind;
        text += ' ' + std::to_string(entry.size) + ' ' + std::to_string(entry.modified) + ' ' + entry.path + '\0';
    }
    return text + std::string(trailer);
}

std::optional<std::vector<Entry>> parseRecord(std::string_view text) {
    if (!text.starts_with(header) || !text.ends_with(trailer)) return std::nullopt;
    text.remove_prefix(header.size());
    text.remove_suffix(trailer.size());
    std::vector<Entry> entries;
    while (!text.empty()) {
        const std::size_t end = text.find('\0');
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view record = text.substr(0, end);
        text.remove_prefix(end + 1);
        // "<kind> <size> <modified> <path>"
        const std::size_t sizeEnd = record.find(' ', 2);
        const std::size_t timeEnd = sizeEnd == std::string_view::npos ? sizeEnd : record.find(' ', sizeEnd + 1);
        if (record.size() < 2 || record[1] != ' ' || timeEnd == std::string_view::npos) return std::nullopt;
        Entry entry{std::string(record.substr(timeEnd + 1)), record[0]};
        if (std::string_view("fdo-").find(entry.kind) == std::string_view::npos || entry.path.empty() ||
            !parseNumber(record.substr(2, sizeEnd - 2), entry.size) ||
            !parseNumber(record.substr(sizeEnd + 1, timeEnd - sizeEnd - 1), entry.modified)) {
            return std::nullopt;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::string> record(const fs::path& ninja, const fs::path& work,
                                  std::chrono::system_clock::time_point passStart, const fs::path& file,
                                  std::stop_token stop) {
    std::error_code ignored;
    fs::remove(file, ignored);
    const fs::path buildTree = work / "cmake-build";
    std::vector<fs::path> paths;
    for (const auto& [tool, parse] : {std::pair{"inputs", &fromNinjaInputs}, std::pair{"deps", &fromNinjaDeps}}) {
        std::vector<std::string> arguments = {"-C", buildTree.string(), "-t", tool};
        if (std::string_view(tool) == "inputs") arguments.insert(arguments.end(), {"all", "build.ninja"});
        const ProcessResult result = ProcessRunner::shared().capture({ninja, arguments, {}, std::nullopt}, stop);
        if (stop.stop_requested()) return "the build was stopped";
        if (result.exitCode != 0) {
            return "`ninja -t " + std::string(tool) + "` exited with code " + std::to_string(result.exitCode) + ": " +
                   result.standardError;
        }
        for (fs::path& path : parse(result.standardOutput, buildTree)) paths.push_back(std::move(path));
    }
    std::vector<fs::path> folders;
    for (const fs::path& script : installScripts(buildTree)) {
        InstallSources sources = installSources(readFileOrThrow(script));
        paths.insert(paths.end(), sources.files.begin(), sources.files.end());
        folders.insert(folders.end(), sources.folders.begin(), sources.folders.end());
    }

    // The work folder's own files are judged by staging and the generated files; links out of it
    // (the plugins' folders, the project's entries) lead to inputs.
    const std::string workFolder = fs::weakly_canonical(work).string();
    const auto outside = [&](const fs::path& path) {
        std::error_code error;
        const fs::path resolved = fs::weakly_canonical(path, error);
        return !error && !inside(resolved, workFolder);
    };
    std::set<std::string> seen;
    std::vector<Entry> entries;
    const auto add = [&](const fs::path& path) {
        if (seen.insert(path.string()).second) entries.push_back(Entry::of(path));
    };
    for (const fs::path& path : paths) {
        if (outside(path)) add(path);
    }
    for (const fs::path& folder : folders) {
        if (!outside(folder)) continue;
        add(folder);
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            add(it->path());
        }
    }

    // A time in the tick the pass began in may be a write after it.
    const std::int64_t began = std::chrono::duration_cast<std::chrono::nanoseconds>(passStart.time_since_epoch()).count();
    for (const Entry& entry : entries) {
        if (entry.kind != '-' && entry.kind != 'o' && entry.modified >= began) {
            return entry.path + " changed while the build ran";
        }
    }
    writeFileAtomically(file, recordText(entries));
    return std::nullopt;
}

bool unchanged(const fs::path& file) {
    const std::optional<std::string> text = readRegularFile(file);
    if (!text) return false;
    const std::optional<std::vector<Entry>> entries = parseRecord(*text);
    if (!entries) return false;
    for (const Entry& entry : *entries) {
        if (Entry::of(entry.path) != entry) return false;
    }
    return true;
}

} // namespace torvex::NativeInputs
