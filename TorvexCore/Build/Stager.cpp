#include "Stager.h"

#include "Core/Files.h"
#include "Core/TorvexError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvex {
namespace fs = std::filesystem;
namespace {

using Time = fs::file_time_type;

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

Time timeOf(const struct timespec& time) {
    const auto sinceEpoch = std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
    return std::chrono::file_clock::from_sys(
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceEpoch)));
}

// Unchanged: a regular file of the same size whose time lies within 1 ms.
bool sameFile(const struct stat& current, const struct stat& wanted) {
    return S_ISREG(current.st_mode) && current.st_size == wanted.st_size &&
           sameTime(timeOf(current.st_mtim), timeOf(wanted.st_mtim));
}

// Only regular files, folders and links are mirrored: opening a FIFO or a device could wait for ever.
// The texts are those of the file reader's refusal.
[[noreturn]] void refuseSpecialFile(const fs::path& path, unsigned char type) {
    throw TorvexError(TorvexError::Kind::unsupported, path.string() + " is not a regular file.",
                      "It is " + kindOfFile(DTTOIF(type)) +
                          ". Torvex copies only regular files, folders and symbolic links, since reading anything "
                          "else may never end.",
                      "Replace it with a regular file (or a link to one), or remove it, then try again.");
}

// An open descriptor, closed with its scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) (void)::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes it now; answers 0 or the errno of close.
    int close() {
        const int fd = std::exchange(fd_, -1);
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    int fd_;
};

// An entry named relative to an open folder (or AT_FDCWD); its full path is made only for messages.
struct Place {
    int folder;
    const char* name;
    const fs::path& root;
    const std::string& relative;  // empty: the root itself

    fs::path path() const { return relative.empty() ? root : root / relative; }
};

const std::string none;

Place wholePath(const fs::path& path) { return {AT_FDCWD, path.c_str(), path, none}; }

struct Entry {
    std::string name;
    unsigned char type;  // DT_* of the listing; DT_UNKNOWN where the file system does not say
};

// The folder's entries but "." and "..", in directory order; none (errno set) when it cannot be read.
std::optional<std::vector<Entry>> list(int folder) {
    std::vector<Entry> entries;
    alignas(struct dirent64) char buffer[32768];
    for (;;) {
        const ssize_t size = ::getdents64(folder, buffer, sizeof buffer);
        if (size == 0) return entries;
        if (size < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        for (ssize_t offset = 0; offset < size;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") entries.push_back({std::string(name), entry->d_type});
        }
    }
}

std::vector<Entry> sorted(std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

// Removes the entry and, for a folder, everything in it; links are removed, never followed.
// Answers 0 (also when nothing was there) or the errno of the first failure.
int removeAll(int folder, const char* name) {
    if (::unlinkat(folder, name, 0) == 0 || errno == ENOENT) return 0;
    if (errno != EISDIR) return errno;
    Descriptor inner(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inner) return errno;
    const auto entries = list(inner.get());
    if (!entries) return errno;
    for (const Entry& entry : *entries) {
        if (const int error = removeAll(inner.get(), entry.name.c_str()); error != 0) return error;
    }
    inner.close();
    return ::unlinkat(folder, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

// The link's text, verbatim; none (errno set) when it cannot be read.
std::optional<std::string> readLink(int folder, const char* name) {
    std::string text(256, '\0');
    for (;;) {
        const ssize_t size = ::readlinkat(folder, name, text.data(), text.size());
        if (size < 0) return std::nullopt;
        if (static_cast<std::size_t>(size) < text.size()) {
            text.resize(static_cast<std::size_t>(size));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

// Opens a file to copy it without waiting on it (O_NONBLOCK); refuses anything but a regular file.
Descriptor openRegularFile(const Place& place, int flags, struct stat& info) {
    Descriptor file(::openat(place.folder, place.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
    if (!file) fail("cannot copy", place.path(), errno);
    if (::fstat(file.get(), &info) != 0) fail("cannot copy", place.path(), errno);
    if (S_ISDIR(info.st_mode)) fail("cannot copy", place.path(), EISDIR);
    if (!S_ISREG(info.st_mode)) refuseSpecialFile(place.path(), static_cast<unsigned char>(IFTODT(info.st_mode)));
    return file;
}

// Copies `size` bytes (fewer when the file ends sooner) between the descriptors' offsets, in the
// kernel where it can, else through a buffer. Answers 0 or an errno.
int copyContents(int from, int to, off_t size) {
    bool inKernel = true;
    std::string buffer;
    off_t copied = 0;
    while (copied < size) {
        const auto wanted = static_cast<std::size_t>(size - copied);
        if (inKernel) {
            const ssize_t count = ::copy_file_range(from, nullptr, to, nullptr, wanted, 0);
            if (count > 0) {
                copied += count;
                continue;
            }
            if (count == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return errno;
            inKernel = false;  // nothing was copied by the failed call: go on from the same offsets
        }
        if (buffer.empty()) buffer.resize(std::min<std::size_t>(wanted, 1 << 17));
        const ssize_t count = ::read(from, buffer.data(), std::min(wanted, buffer.size()));
        if (count == 0) return 0;
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (const int error = writeAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(count)))) {
            return error;
        }
        copied += count;
    }
    return 0;
}

// Replaces `to` with a copy of the open regular file, with its permissions and modification time.
// A copy that fails is removed, so that no part of a file stays with the source's size or time.
void copyFile(const Descriptor& source, const struct stat& info, const Place& from, const Place& to,
              bool destinationMayExist) {
    if (destinationMayExist) (void)removeAll(to.folder, to.name);
    Descriptor copy(::openat(to.folder, to.name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!copy) fail("cannot copy", to.path(), errno);
    const auto failed = [&](int error) {
        copy.close();
        (void)::unlinkat(to.folder, to.name, 0);
        throw fs::filesystem_error("cannot copy", from.path(), to.path(), std::error_code(error, std::generic_category()));
    };
    if (const int error = copyContents(source.get(), copy.get(), info.st_size); error != 0) failed(error);
    const struct timespec times[2] = {{0, UTIME_OMIT}, info.st_mtim};
    if (::fchmod(copy.get(), info.st_mode & 07777) != 0 || ::futimens(copy.get(), times) != 0) failed(errno);
    if (const int error = copy.close(); error != 0) failed(error);
}

// The file holds exactly `bytes`: a regular file (links are not followed) of that size and content.
bool holds(const Place& place, const std::string& bytes) {
    struct stat info {};
    if (::fstatat(place.folder, place.name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uintmax_t>(info.st_size) != bytes.size()) {
        return false;
    }
    Descriptor file(::openat(place.folder, place.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) return false;
    char buffer[65536];
    std::size_t offset = 0;
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return count == 0 && offset == bytes.size();
        const auto size = static_cast<std::size_t>(count);
        if (size > bytes.size() - offset || std::memcmp(buffer, bytes.data() + offset, size) != 0) return false;
        offset += size;
    }
}

// Removes whatever is at the place (failure ignored) and writes `bytes` there as a new file.
void write(const Place& place, const std::string& bytes) {
    (void)removeAll(place.folder, place.name);
    Descriptor file(::openat(place.folder, place.name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file) fail("cannot write", place.path(), errno);
    if (const int error = writeAll(file.get(), bytes); error != 0) fail("cannot write", place.path(), error);
    if (const int error = file.close(); error != 0) fail("cannot write", place.path(), error);
}

// Opens a folder of the destination: for reading where it may, else only as a handle to work in.
// -1 (errno set) when it cannot be opened at all. `flags`: O_NOFOLLOW below the root.
int openDestinationFolder(int parent, const char* name, int flags) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (fd >= 0 || errno != EACCES) return fd;
    return ::openat(parent, name, O_PATH | O_DIRECTORY | O_CLOEXEC | flags);
}

// The walk of one mirror: each folder of the source is opened once and listed once, beside its twin
// in the destination; the two sorted listings are merged, so that what only the destination has
// is found without a second walk.
struct TreeMirror {
    const std::vector<std::string>& excluded;
    const Stager::Transform& transform;
    const fs::path& sourceRoot;
    const fs::path& destinationRoot;
    std::string relative;  // of the entry at hand
    int count = 0;

    // Pattern tests on whole relative paths; a pattern ending in "/" names a folder and all below it.
    bool isExcluded(std::string_view path) const {
        for (const std::string& pattern : excluded) {
            if (!pattern.empty() && pattern.back() == '/') {
                const std::string_view folder(pattern.data(), pattern.size() - 1);
                if (path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/')) return true;
            } else if (pattern == path) {
                return true;
            }
        }
        return false;
    }

    // Some excluded path lies below `path`.
    bool containsExcluded(std::string_view path) const {
        return std::any_of(excluded.begin(), excluded.end(), [&](const std::string& pattern) {
            return pattern.size() > path.size() && pattern.starts_with(path) && pattern[path.size()] == '/';
        });
    }

    Place sourceAt(int folder, const Entry& entry) const { return {folder, entry.name.c_str(), sourceRoot, relative}; }
    Place destinationAt(int folder, const Entry& entry) const {
        return {folder, entry.name.c_str(), destinationRoot, relative};
    }

    // Mirrors the folder open as `source` (-1: none, for a destination folder that stays only
    // because an excluded path lies below it) into the one open as `destination`.
    void folder(int source, int destination) {
        std::vector<Entry> from;
        if (source >= 0) {
            auto listed = list(source);
            if (!listed) fail("cannot read folder", relative.empty() ? sourceRoot : sourceRoot / relative, errno);
            from = sorted(std::move(*listed));
        }
        // A destination that cannot be listed has each entry looked up instead, and no extras.
        const auto listed = list(destination);
        const std::vector<Entry> to = listed ? sorted(*listed) : std::vector<Entry>();

        const std::size_t prefix = relative.size();
        auto next = from.begin();
        auto twin = to.begin();
        while (next != from.end() || twin != to.end()) {
            const int order = next == from.end() ? 1 : twin == to.end() ? -1 : next->name.compare(twin->name);
            relative.resize(prefix);
            if (prefix != 0) relative += '/';
            relative += order <= 0 ? next->name : twin->name;
            if (order < 0) {
                entry(source, destination, *next++, listed ? std::optional<unsigned char>() : DT_UNKNOWN);
            } else if (order == 0) {
                entry(source, destination, *next++, twin++->type);
            } else {
                extra(destination, *twin++);
            }
        }
        relative.resize(prefix);
    }

    // One source entry; `current` is the type of its destination twin (none: known to be absent;
    // DT_UNKNOWN: to be looked up).
    void entry(int source, int destination, const Entry& item, std::optional<unsigned char> current) {
        if (isExcluded(relative)) return;
        const Place from = sourceAt(source, item), to = destinationAt(destination, item);
        struct stat info {};
        bool haveInfo = false;
        unsigned char type = item.type;
        if (type == DT_UNKNOWN) {
            if (::fstatat(source, item.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                fail("cannot read attributes", from.path(), errno);
            }
            type = static_cast<unsigned char>(IFTODT(info.st_mode));
            haveInfo = true;
        }
        if (type != DT_DIR && type != DT_LNK && type != DT_REG) refuseSpecialFile(from.path(), type);
        // A file or a link the transform rewrites is staged as a regular file with its bytes.
        if (transform && type != DT_DIR) {
            if (const auto bytes = transform(relative, sourceRoot / relative)) {
                if (current && holds(to, *bytes)) return;
                write(to, *bytes);
                ++count;
                return;
            }
        }
        if (type == DT_LNK) return link(from, to, current);
        if (type == DT_DIR) return subfolder(from, to, current);
        copyIfChanged(from, to, current, haveInfo ? &info : nullptr);
    }

    void link(const Place& from, const Place& to, std::optional<unsigned char> current) {
        const auto text = readLink(from.folder, from.name);
        if (!text) fail("cannot read link", from.path(), errno);
        if (current) {
            if (*current == DT_LNK || *current == DT_UNKNOWN) {
                if (const auto currentText = readLink(to.folder, to.name); currentText && *currentText == *text) return;
            }
            (void)removeAll(to.folder, to.name);
        }
        if (::symlinkat(text->c_str(), to.folder, to.name) != 0) fail("cannot create link", to.path(), errno);
        ++count;
    }

    void subfolder(const Place& from, const Place& to, std::optional<unsigned char> current) {
        bool isFolder = current == DT_DIR;
        if (current == DT_UNKNOWN) {
            struct stat info {};
            isFolder = ::fstatat(to.folder, to.name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
        }
        if (!isFolder) {
            if (current) (void)removeAll(to.folder, to.name);
            if (::mkdirat(to.folder, to.name, 0777) != 0) fail("cannot create folder", to.path(), errno);
        }
        Descriptor destination(openDestinationFolder(to.folder, to.name, O_NOFOLLOW));
        if (!destination) fail("cannot open folder", to.path(), errno);
        Descriptor source(::openat(from.folder, from.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!source) {
            // A source folder that cannot be read is walked as an empty one.
            if (errno != EACCES && errno != EPERM && errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
                fail("cannot read folder", from.path(), errno);
            }
            return folder(-1, destination.get());
        }
        folder(source.get(), destination.get());
    }

    // Unchanged: the destination is a regular file of the source's size and time.
    void copyIfChanged(const Place& from, const Place& to, std::optional<unsigned char> current, const struct stat* known) {
        if (current == DT_REG || current == DT_UNKNOWN) {
            struct stat info {};
            if (known == nullptr) {
                if (::fstatat(from.folder, from.name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    fail("cannot read attributes", from.path(), errno);
                }
                known = &info;
            }
            struct stat existing {};
            if (::fstatat(to.folder, to.name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(existing, *known)) return;
        }
        struct stat info {};
        const Descriptor source = openRegularFile(from, O_NOFOLLOW, info);
        copyFile(source, info, from, to, current.has_value());
        ++count;
    }

    // An entry only the destination has: it stays when excluded or on the way to an excluded path,
    // else it goes as a whole.
    void extra(int destination, const Entry& item) {
        if (isExcluded(relative)) return;
        const Place place = destinationAt(destination, item);
        if (containsExcluded(relative)) {
            if (item.type != DT_DIR && item.type != DT_UNKNOWN) return;
            Descriptor inner(openDestinationFolder(destination, item.name.c_str(), O_NOFOLLOW));
            if (inner) folder(-1, inner.get());  // not a folder, or unreadable: nothing below to keep
            return;
        }
        if (const int error = removeAll(destination, item.name.c_str()); error != 0) fail("cannot remove", place.path(), error);
        ++count;
    }
};

} // namespace

bool sameTime(const std::optional<Time>& a, const std::optional<Time>& b) {
    if (!a || !b) return !a && !b;
    const auto difference = *a < *b ? *b - *a : *a - *b;
    return difference < std::chrono::milliseconds(1);
}

bool writeIfChanged(const std::string& bytes, const fs::path& file) {
    const Place place = wholePath(file);
    if (holds(place, bytes)) return false;
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    write(place, bytes);
    return true;
}

int Stager::mirror(const fs::path& source, const fs::path& destination) const {
    Descriptor from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from) {
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) fail("cannot read folder", source, errno);
        throw TorvexError(TorvexError::Kind::generic, "Could not copy " + source.string() + ".",
                          "It does not exist or is not a folder.",
                          "Check the path and try again; nothing was copied or removed.");
    }
    fs::create_directories(destination);
    const Descriptor to(openDestinationFolder(AT_FDCWD, destination.c_str(), 0));
    if (!to) fail("cannot open folder", destination, errno);
    TreeMirror walk{excluded, transform, source, destination, {}, 0};
    walk.folder(from.get(), to.get());
    return walk.count;
}

bool Stager::mirrorFile(const fs::path& source, const fs::path& destination) {
    struct stat wanted {};
    if (::stat(source.c_str(), &wanted) != 0) fail("cannot copy", source, errno);
    if (S_ISDIR(wanted.st_mode)) fail("cannot copy", source, EISDIR);
    if (!S_ISREG(wanted.st_mode)) refuseSpecialFile(source, static_cast<unsigned char>(IFTODT(wanted.st_mode)));
    struct stat current {};
    if (::lstat(destination.c_str(), &current) == 0 && current.st_size == wanted.st_size &&
        sameTime(timeOf(current.st_mtim), timeOf(wanted.st_mtim))) {
        return false;
    }
    if (destination.has_parent_path()) fs::create_directories(destination.parent_path());
    struct stat info {};
    const Place from = wholePath(source);
    const Descriptor file = openRegularFile(from, 0, info);
    copyFile(file, info, from, wholePath(destination), true);
    return true;
}

} // namespace torvex
