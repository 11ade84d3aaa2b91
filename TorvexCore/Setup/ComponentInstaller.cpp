#include "ComponentInstaller.h"

#include "Platform/Archive.h"
#include "Core/Downloader.h"
#include "Core/Files.h"
#include "Core/Platform/Digest.h"
#include "Core/TorvexError.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace torvex {
namespace fs = std::filesystem;
namespace {

using Phase = ComponentInstaller::Progress::Phase;

constexpr std::size_t digestChunk = 4 * 1024 * 1024;

[[noreturn]] void throwSystemError(int code, const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(code, std::generic_category()));
}

void checkStop(const std::stop_token& stop) {
    if (stop.stop_requested()) throw Cancelled{};
}

std::string randomHex() {
    static std::mutex lock;
    static std::mt19937* generator = new std::mt19937(std::random_device{}());
    const std::lock_guard guard(lock);
    return fmt::format("{:08X}", static_cast<std::uint32_t>((*generator)()));
}

// caches/downloads/<id>-<8 hex digits>, new and empty.
fs::path makeWorkFolder(const TorvexPaths& paths, const std::string& id) {
    const fs::path downloads = paths.caches / "downloads";
    fs::create_directories(downloads);
    for (int attempt = 0;; ++attempt) {
        const fs::path folder = downloads / (id + "-" + randomHex());
        if (::mkdir(folder.c_str(), 0755) == 0) return folder;
        if (errno != EEXIST || attempt == 100) throwSystemError(errno, "cannot create the work folder", folder);
    }
}

std::string digestOf(const fs::path& file, const std::stop_token& stop) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a FIFO fails instead of waiting
    if (fd < 0) throwSystemError(errno, "cannot open", file);
    SHA256Hasher hasher;
    std::string buffer(digestChunk, '\0');
    for (;;) {
        if (stop.stop_requested()) {
            ::close(fd);
            throw Cancelled{};
        }
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count == 0) break;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            const int code = errno;
            ::close(fd);
            throwSystemError(code, "cannot read", file);
        }
        hasher.update(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    }
    ::close(fd);
    return hasher.finalHex();
}

TorvexError unpackError(const Component& component, const std::string& why) {
    return TorvexError(TorvexError::Kind::generic, "Could not unpack " + component.name + ".",
                       why.empty() ? "Unexpected archive layout." : why, "Check free disk space and try again.");
}

void unpack(const Component& component, const fs::path& archive, const fs::path& folder, const std::stop_token& stop) {
    const ProcessResult listing = Archive::list(archive, stop);
    checkStop(stop);
    if (listing.exitCode != 0) throw unpackError(component, trimmedWhitespace(listing.standardError));
    std::string_view rest = listing.standardOutput;
    while (!rest.empty()) {
        const std::string_view member = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(rest.size(), member.size() + 1));
        if (leavesItsFolder(member))
            throw TorvexError(TorvexError::Kind::generic, "Could not unpack " + component.name + ".",
                              "The archive holds a member outside its own folder: " + std::string(member) + ".",
                              "Nothing was unpacked. Try again later; if it keeps happening, report it.");
    }
    fs::create_directories(folder);
    const ProcessResult result = Archive::extract(archive, folder, stop);
    checkStop(stop);
    if (result.exitCode != 0) throw unpackError(component, trimmedWhitespace(result.standardError));
}

// "<folder>/.<name>.<tag>-<8 hex digits>": beside `path`, hidden, and not ending as `path` does.
fs::path sibling(const fs::path& path, const std::string& tag, const std::string& suffix) {
    return path.parent_path() / fmt::format(".{}.{}-{}", path.filename().string(), tag, suffix);
}

// Renames `from` to `to`; across file systems copies (links as links) and removes the original.
void moveItem(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::rename(from, to, error);
    if (!error) return;
    if (error != std::errc::cross_device_link) throw fs::filesystem_error("cannot move", from, to, error);
    try {
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
        throw;
    }
    std::error_code ignored;
    fs::remove_all(from, ignored);
}

// Puts `item` at `destination`, replacing what was there only once the new item is complete beside
// it; on failure the old copy is back in place.
void placeItem(const fs::path& item, const fs::path& destination, const std::stop_token& stop) {
    fs::create_directories(destination.parent_path());
    const std::string suffix = randomHex();
    const fs::path incoming = sibling(destination, "incoming", suffix);
    RemoveOnExit leftover{incoming};
    moveItem(item, incoming);
    checkStop(stop);

    const fs::path outgoing = sibling(destination, "outgoing", suffix);
    std::error_code error;
    const bool replacing = fs::exists(fs::symlink_status(destination, error));
    if (replacing) fs::rename(destination, outgoing);
    fs::rename(incoming, destination, error);
    if (error) {
        std::error_code ignored;
        if (replacing) fs::rename(outgoing, destination, ignored);
        throw fs::filesystem_error("cannot move into place", incoming, destination, error);
    }
    std::error_code ignored;
    fs::remove_all(outgoing, ignored);
}

} // namespace

std::string_view rawValue(ComponentInstaller::Progress::Phase phase) {
    switch (phase) {
    case Phase::downloading: return "downloading";
    case Phase::verifying: return "verifying";
    case Phase::installing: return "installing";
    case Phase::done: return "done";
    }
    return "";
}

std::string ComponentInstaller::sha256(const fs::path& file) { return digestOf(file, {}); }

void ComponentInstaller::install(const std::vector<Component>& components, const ProgressHandler& progress,
                                 std::stop_token stop) const {
    for (const auto& component : components) {
        checkStop(stop);
        if (component.isUnavailable() || component.isInstalled(paths)) continue;
        install(component, progress, stop);
    }
}

void ComponentInstaller::install(const Component& component, const ProgressHandler& progress,
                                 std::stop_token stop) const {
    const auto report = [&](Phase phase, double fraction) {
        if (progress) progress(Progress{component, phase, fraction});
    };
    checkStop(stop);
    const fs::path work = makeWorkFolder(paths, component.id);
    const RemoveOnExit cleanup{work};
    const fs::path unpacked = work / "unpacked";
    const fs::path item = unpacked / component.archivePath;
    const fs::path destination = paths.support / component.destination;

    if (component.source.kind != SystemSource::Kind::none) {
        report(Phase::installing, 1.0);
        fs::create_directories(item.parent_path());
        component.source.assemble(component.name, item, destination, system);
    } else {
        report(Phase::downloading, 0.0);
        const fs::path archive = work / component.archiveFileName();
        const auto failure = Downloader::download(
            component.url, archive, component.size, [&](double fraction) { report(Phase::downloading, fraction); },
            stop, stallLimit);
        if (failure && failure->httpStatus)
            throw TorvexError(TorvexError::Kind::generic, fmt::format("Download failed (HTTP {}).", *failure->httpStatus),
                              component.url, "Try again later.");
        if (failure)
            throw TorvexError(TorvexError::Kind::generic, "A download failed.", failure->description,
                              "Check your internet connection. Behind a proxy, set HTTPS_PROXY to it.");

        report(Phase::verifying, 1.0);
        const std::string digest = digestOf(archive, stop);
        if (digest != component.sha256)
            throw TorvexError(TorvexError::Kind::generic,
                              "The " + component.name + " download is damaged or was changed.",
                              "Its SHA-256 is " + digest.substr(0, 12) + "\u2026, expected " +
                                  component.sha256.substr(0, 12) + "\u2026.",
                              "Try again. If it keeps failing, your network may be modifying downloads "
                              "(proxy or captive portal).");

        report(Phase::installing, 1.0);
        unpack(component, archive, unpacked, stop);
        std::error_code error;
        if (!fs::exists(fs::symlink_status(item, error))) throw unpackError(component, "");
    }
    checkStop(stop);
    placeItem(item, destination, stop);
    report(Phase::done, 1.0);
}

} // namespace torvex
