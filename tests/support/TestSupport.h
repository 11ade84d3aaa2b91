#pragma once

#include "Core/Platform/SystemFacts.h"
#include "Core/TorvexError.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace torvex::testing {

// A fresh folder made with mkdtemp (below `base`, else $TMPDIR or /tmp), removed with everything
// in it at the end of the scope.
class TempDir {
public:
    explicit TempDir(const std::filesystem::path& base = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// Writes `bytes` to `file`, creating its folders.
void writeFile(const std::filesystem::path& file, const std::string& bytes);
// The whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);
// Makes `file` an executable `sh` script with the given body.
void writeScript(const std::filesystem::path& file, const std::string& body);
// `text` as one single-quoted sh word.
std::string shellQuoted(const std::string& text);

// Writes <app>/Contents/Info.plist holding the given plist dictionary entries.
void writeInfoPlist(const std::filesystem::path& app, const std::string& entries);
// The entry that gives a bundle its version.
std::string versionEntry(const std::string& version);

// Runs scripts/<name> with bash; throws with its output when it fails. Its output goes through
// files in `scratch`.
void runScript(const std::string& name, const std::vector<std::string>& arguments, const std::filesystem::path& scratch);

// A FIFO made at `path`. A reader that blocks on it gets end of file after `patience` (a watchdog
// opens and closes its writing end), so that a test of code that must never block on it ends.
class Fifo {
public:
    explicit Fifo(const std::filesystem::path& path,
                  std::chrono::milliseconds patience = std::chrono::milliseconds(3000));
    Fifo(const Fifo&) = delete;
    Fifo& operator=(const Fifo&) = delete;

private:
    std::jthread watchdog_;
};

// The TorvexError that `body` throws; a test failure (and an empty error) when it throws none.
TorvexError errorOf(const std::function<void()>& body);

// The facts of an x86_64 machine running Linux 6.1.0 with 78.47 GB free.
SystemFacts linuxFacts();

// The folder of the built bundle and the source tree, as the build configured them.
std::filesystem::path builtBundle();
std::filesystem::path sourceDir();

} // namespace torvex::testing
