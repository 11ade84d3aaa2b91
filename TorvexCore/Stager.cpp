#include "Stager.h"

#include "Files.h"
#include "TorvexError.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvex {
namespace fs = std::filesystem;
namespace {

using Time = fs::file_time_type;

// What one lstat tells the mirror; links are never followed.
struct Attributes {
    bool isFolder = false;
    bool isLink = false;
    bool isRegular = false;
    std::optional<std::uintmax_t> size;
    std::optional<Time> modified;
};

Attributes fromStat(const struct stat& info) {
    Attributes attributes;
    attributes.isFolder = S_ISDIR(info.st_mode);
    attributes.isLink = S_ISLNK(info.st_mode);
    attributes.isRegular = S_ISREG(info.st_mode);
    attributes.size = static_cast<std::uintmax_t>(info.st_size);
    const auto sinceEpoch = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
    attributes.modified = std::chrono::file_clock::from_sys(
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceEpoch)));
    return attributes;
}

std::optional<Attributes> linkAttributes(const fs::path& path, std::error_code& error) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        error = std::error_code(errno, std::generic_category());
        return std::nullopt;
    }
    error.clear();
    return fromStat(info);
}

Attributes linkAttributesOrThrow(const fs::path& path) {
    std::error_code error;
    auto attributes = linkAttributes(path, error);
    if (!attributes) throw fs::filesystem_error("cannot read attributes", path, error);
    return *attributes;
}

void removeIgnoringFailure(const fs::path& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void setModified(const fs::path& path, const std::optional<Time>& modified) {
    if (modified) fs::last_write_time(path, *modified);
}

void copyFile(const fs::path& source, const fs::path& destination, const std::optional<Time>& modified) {
    removeIgnoringFailure(destination);
    fs::copy_file(source, destination);
    setModified(destination, modified);
}

// Pre-order walk below `root`: each entry's relative path and attributes, names sorted bytewise.
// The visitor answers whether to descend into a folder; links are never descended into.
// Folders that cannot be listed are passed over.
template <typename Visitor>
void walk(const fs::path& root, const std::string& prefix, Visitor&& visit) {
    std::error_code error;
    fs::directory_iterator entries(root / prefix, error);
    if (error) return;
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        const Attributes attributes = linkAttributesOrThrow(root / relative);
        if (visit(relative, attributes) && attributes.isFolder) walk(root, relative, visit);
    }
}

} // namespace

bool sameTime(const std::optional<Time>& a, const std::optional<Time>& b) {
    if (!a || !b) return !a && !b;
    const auto difference = *a < *b ? *b - *a : *a - *b;
    return difference < std::chrono::milliseconds(1);
}

bool writeIfChanged(const std::string& bytes, const fs::path& file) {
    std::error_code error;
    // Only a regular file is compared: a link is replaced, never read or written through.
    if (const auto attributes = linkAttributes(file, error); attributes && attributes->isRegular &&
                                                            attributes->size == bytes.size()) {
        if (const auto current = readFileBytes(file); current && *current == bytes) return false;
    }
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    removeIgnoringFailure(file);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw fs::filesystem_error("cannot write", file, std::error_code(errno, std::generic_category()));
    if (const int failure = writeAll(fd, bytes); failure != 0) {
        ::close(fd);
        throw fs::filesystem_error("cannot write", file, std::error_code(failure, std::generic_category()));
    }
    if (::close(fd) != 0) throw fs::filesystem_error("cannot write", file, std::error_code(errno, std::generic_category()));
    return true;
}

namespace {

struct Patterns {
    const std::vector<std::string>& excluded;

    bool isExcluded(const std::string& path) const {
        for (const auto& pattern : excluded) {
            if (!pattern.empty() && pattern.back() == '/') {
                if ((path + "/").starts_with(pattern)) return true;
            } else if (pattern == path) {
                return true;
            }
        }
        return false;
    }

    bool containsExcluded(const std::string& path) const {
        const std::string folder = path + "/";
        return std::any_of(excluded.begin(), excluded.end(),
                           [&](const std::string& pattern) { return pattern.starts_with(folder); });
    }
};

// Unchanged only when the destination is a regular file of the same size and time.
bool copyIfChanged(const fs::path& source, const Attributes& sourceAttributes, const fs::path& destination) {
    std::error_code error;
    if (const auto current = linkAttributes(destination, error); current && current->isRegular &&
                                                                current->size == sourceAttributes.size &&
                                                                sameTime(current->modified, sourceAttributes.modified)) {
        return false;
    }
    copyFile(source, destination, sourceAttributes.modified);
    return true;
}

int removeExtras(const fs::path& destination, const Patterns& patterns, const std::set<std::string>& kept) {
    std::vector<fs::path> removals;
    walk(destination, "", [&](const std::string& path, const Attributes&) {
        if (patterns.isExcluded(path)) return false;
        if (kept.contains(path) || patterns.containsExcluded(path)) return true;
        removals.push_back(destination / path);
        return false;  // a removed folder goes as a whole
    });
    for (const auto& item : removals) fs::remove_all(item);
    return static_cast<int>(removals.size());
}

} // namespace

int Stager::mirror(const fs::path& source, const fs::path& destination) const {
    std::error_code error;
    if (!fs::is_directory(source, error)) {
        throw TorvexError(TorvexError::Kind::generic, "Could not copy " + source.string() + ".",
                          "It does not exist or is not a folder.",
                          "Check the path and try again; nothing was copied or removed.");
    }
    fs::directory_iterator probe(source);  // an unreadable source is an error, not an empty tree
    fs::create_directories(destination);

    const Patterns patterns{excluded};
    std::set<std::string> kept;
    int count = 0;
    walk(source, "", [&](const std::string& path, const Attributes& attributes) {
        if (patterns.isExcluded(path)) return false;
        kept.insert(path);
        const fs::path from = source / path;
        const fs::path to = destination / path;
        // A file the transform rewrites is read through a link and staged as a regular file.
        std::optional<std::string> replacement;
        if (transform && !attributes.isFolder) replacement = transform(path, from);
        if (replacement) {
            if (writeIfChanged(*replacement, to)) ++count;
            return false;
        }
        if (attributes.isLink) {
            const fs::path target = fs::read_symlink(from);
            std::error_code unreadable;
            const fs::path current = fs::read_symlink(to, unreadable);
            if (unreadable || current != target) {
                removeIgnoringFailure(to);
                fs::create_symlink(target, to);
                ++count;
            }
            return false;
        }
        if (attributes.isFolder) {
            std::error_code missing;
            const auto current = linkAttributes(to, missing);
            if (!current || !current->isFolder) {
                removeIgnoringFailure(to);
                fs::create_directories(to);
            }
            return true;
        }
        if (copyIfChanged(from, attributes, to)) ++count;
        return false;
    });
    return count + removeExtras(destination, patterns, kept);
}

bool Stager::mirrorFile(const fs::path& source, const fs::path& destination) {
    const fs::file_status status = fs::status(source);
    if (!fs::exists(status)) {
        throw fs::filesystem_error("cannot copy", source, std::make_error_code(std::errc::no_such_file_or_directory));
    }
    const std::uintmax_t size = fs::file_size(source);
    const Time modified = fs::last_write_time(source);
    std::error_code error;
    if (const auto current = linkAttributes(destination, error);
        current && current->size == size && sameTime(current->modified, modified)) {
        return false;
    }
    if (destination.has_parent_path()) fs::create_directories(destination.parent_path());
    copyFile(source, destination, modified);
    return true;
}

} // namespace torvex
