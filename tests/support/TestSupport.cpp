#include "support/TestSupport.h"

#include "support/Spawn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace torvex::testing {
namespace fs = std::filesystem;

TempDir::TempDir(const fs::path& base) {
    const char* tmpdir = std::getenv("TMPDIR");
    const fs::path folder = !base.empty() ? base : tmpdir != nullptr && *tmpdir != '\0' ? fs::path(tmpdir) : fs::path("/tmp");
    std::string pattern = (folder / "torvex-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(buffer.data());
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& file, const std::string& bytes) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    try {
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // A read that fails throws from the stream buffer: a folder, or a /proc file of a process
        // that ended meanwhile (ESRCH).
        return "";
    }
}

void writeScript(const fs::path& file, const std::string& body) {
    writeFile(file, "#!/bin/sh\n" + body);
    fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void writeInfoPlist(const fs::path& app, const std::string& entries) {
    writeFile(app / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n");
}

std::string versionEntry(const std::string& version) {
    return "<key>CFBundleShortVersionString</key><string>" + version + "</string>";
}

SpawnResult scriptRun(const std::string& name, const std::vector<std::string>& arguments, const fs::path& scratch) {
    std::vector<std::string> argv = {"bash", (sourceDir() / "scripts" / name).string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawnAndWait({"/bin/bash", argv, std::nullopt, {{"TORVEX_BUILD_DIR", TORVEX_BUILD_DIR}}}, scratch);
}

void runScript(const std::string& name, const std::vector<std::string>& arguments, const fs::path& scratch) {
    const SpawnResult result = scriptRun(name, arguments, scratch);
    if (result.status != 0) throw std::runtime_error(name + " failed:\n" + result.out + result.err);
}

void forgetTorvexVariables(std::initializer_list<std::string_view> keep) {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        if (name.starts_with("TORVEX_") && std::find(keep.begin(), keep.end(), name) == keep.end()) names.emplace_back(name);
    }
    for (const std::string& name : names) ::unsetenv(name.c_str());
}

Fifo::Fifo(const fs::path& path, std::chrono::milliseconds patience) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    if (::mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("cannot make the FIFO " + path.string());
    watchdog_ = std::jthread([path, patience](std::stop_token stop) {
        std::mutex lock;
        std::condition_variable_any wake;
        std::unique_lock guard(lock);
        wake.wait_for(guard, stop, patience, [] { return false; });  // until the patience ends or the Fifo goes
        while (!stop.stop_requested()) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
            wake.wait_for(guard, stop, std::chrono::milliseconds(20), [] { return false; });
        }
    });
}

TorvexError errorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const TorvexError& error) {
        return error;
    }
    ADD_FAILURE() << "no error";
    return TorvexError(TorvexError::Kind::generic, "", "", "");
}

SystemFacts linuxFacts() {
    SystemFacts facts;
    facts.rules = SystemFacts::Rules::otherUnix;
    facts.operatingSystemName = "Linux";
    facts.operatingSystemVersion = {6, 1, 0};
    facts.machine = "x86_64";
    facts.freeDiskBytes = 78'469'936'000;
    return facts;
}

fs::path builtBundle() { return TORVEX_BUILT_BUNDLE; }
fs::path sourceDir() { return TORVEX_SOURCE_DIR; }

} // namespace torvex::testing
