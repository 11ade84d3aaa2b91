#include "SocketFolder.h"

#include "UnixSocket.h"
#include "Core/TorvexError.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <utility>
#include <vector>

namespace torvex {
namespace fs = std::filesystem;

namespace {

// As many links as the system itself follows in one path.
constexpr int maxLinks = 40;

// The user's own group as Debian makes one: named after the user, the user's primary group, and
// with no other member.
bool isPrivateGroup(gid_t group, uid_t user) {
    std::vector<char> buffer(64 * 1024);
    passwd account{};
    passwd* foundAccount = nullptr;
    if (::getpwuid_r(user, &account, buffer.data(), buffer.size() / 2, &foundAccount) != 0 || foundAccount == nullptr)
        return false;
    ::group entry{};
    ::group* foundGroup = nullptr;
    if (::getgrgid_r(group, &entry, buffer.data() + buffer.size() / 2, buffer.size() / 2, &foundGroup) != 0 ||
        foundGroup == nullptr)
        return false;
    const std::string name = account.pw_name;
    if (account.pw_gid != group || name != entry.gr_name) return false;
    for (char** member = entry.gr_mem; *member != nullptr; ++member) {
        if (name != *member) return false;
    }
    return true;
}

const std::string ownFolder = "Set TORVEX_SOCKET to a path in a folder only you can write to";

TorvexError unsafe(const std::string& why, const std::string& fix) {
    return TorvexError(TorvexError::Kind::generic, "The folder of the Torvex socket is not safe.", why, fix);
}

fs::filesystem_error systemError(const char* what, const fs::path& path, int code = errno) {
    return fs::filesystem_error(what, path, std::error_code(code, std::generic_category()));
}

// Refuses a folder on the way that a user other than `user` or root could change.
void checkFolder(const struct stat& info, const fs::path& folder, uid_t user) {
    if (!UnixSocket::isTrustedUser(info.st_uid, user)) {
        throw unsafe(folder.string() + " belongs to another user (uid " + std::to_string(info.st_uid) +
                         "), who could replace the socket or plant links in it.",
                     ownFolder + ".");
    }
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    const bool othersWrite = (info.st_mode & S_IWOTH) != 0 ||
                             ((info.st_mode & S_IWGRP) != 0 && !isPrivateGroup(info.st_gid, info.st_uid));
    if (othersWrite && !sticky) {
        throw unsafe("Other users may write to " + folder.string() +
                         ", and it is not sticky (as /tmp is), so they could replace the socket or plant links in it.",
                     ownFolder + ", or make " + folder.string() + " writable by you alone.");
    }
}

// `name` in the folder `parent`, opened as a folder without following a link, and checked.
int openChecked(int parent, const char* name, const fs::path& path, uid_t user) {
    const int fd = ::openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw systemError("Cannot open the folder of the Torvex socket", path);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int code = errno;
        ::close(fd);
        throw systemError("Cannot open the folder of the Torvex socket", path, code);
    }
    try {
        checkFolder(info, path, user);
    } catch (...) {
        ::close(fd);
        throw;
    }
    return fd;
}

std::string linkTarget(int parent, const char* name, const fs::path& path) {
    std::vector<char> target(PATH_MAX);
    const ssize_t size = ::readlinkat(parent, name, target.data(), target.size());
    if (size < 0 || static_cast<std::size_t>(size) >= target.size())
        throw systemError("Cannot read a link on the way to the Torvex socket", path, size < 0 ? errno : ENAMETOOLONG);
    return std::string(target.data(), static_cast<std::size_t>(size));
}

// The components of `path` after its root, in order.
std::deque<std::string> componentsOf(const fs::path& path) {
    std::deque<std::string> components;
    for (const auto& component : path.relative_path()) {
        if (!component.empty() && component != ".") components.push_back(component.string());
    }
    return components;
}

} // namespace

SocketFolder SocketFolder::open(const fs::path& folder, bool create, uid_t user) {
    std::deque<std::string> pending = componentsOf(fs::absolute(folder));
    fs::path walked = "/";
    SocketFolder current(openChecked(AT_FDCWD, "/", walked, user));
    int links = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == "..") {
            walked = walked.has_relative_path() ? walked.parent_path() : walked;
            current = SocketFolder(openChecked(current.fd(), "..", walked, user));
            continue;
        }
        const fs::path path = walked / name;
        struct stat entry {};
        if (::fstatat(current.fd(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || !create) throw systemError("Cannot open the folder of the Torvex socket", path);
            if (::mkdirat(current.fd(), name.c_str(), 0700) != 0 && errno != EEXIST)
                throw systemError("Cannot create the folder of the Torvex socket", path);
            if (::fstatat(current.fd(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
                throw systemError("Cannot open the folder of the Torvex socket", path);
        }
        if (S_ISLNK(entry.st_mode)) {
            if (!UnixSocket::isTrustedUser(entry.st_uid, user)) {
                throw unsafe(path.string() + " is a link of another user (uid " + std::to_string(entry.st_uid) +
                                 "), which Torvex does not follow.",
                             ownFolder + ".");
            }
            if (++links > maxLinks) throw systemError("Cannot open the folder of the Torvex socket", path, ELOOP);
            const fs::path target = linkTarget(current.fd(), name.c_str(), path);
            const auto targetComponents = componentsOf(target);
            pending.insert(pending.begin(), targetComponents.begin(), targetComponents.end());
            if (target.is_absolute()) {
                walked = "/";
                current = SocketFolder(openChecked(AT_FDCWD, "/", walked, user));
            }
            continue;
        }
        current = SocketFolder(openChecked(current.fd(), name.c_str(), path, user));
        walked = path;
    }
    return current;
}

SocketFolder::SocketFolder(SocketFolder&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

SocketFolder& SocketFolder::operator=(SocketFolder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

SocketFolder::~SocketFolder() {
    if (fd_ >= 0) ::close(fd_);
}

} // namespace torvex
