#pragma once

#include "support/Spawn.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace torvex::testing {

// Fails the test unless `file` is a PE32+ image for x86-64: "MZ", "PE\0\0" where the DOS header
// points, machine 0x8664 and a PE32+ optional header.
void expectPE32PlusForX64(const std::filesystem::path& file);

// `text` without carriage returns (Windows programs end their lines with CRLF).
std::string withoutCarriageReturns(std::string text);

// A private Wine prefix under a test's folder; every Wine process of it is ended on destruction.
class WinePrefix {
public:
    WinePrefix(std::filesystem::path prefix, std::filesystem::path scratch);
    ~WinePrefix();  // endAll()
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    static bool available();  // /usr/bin/wine is installed

    const std::filesystem::path& prefix() const { return prefix_; }

    // Runs `program` with `arguments` in its own folder on the X display `display` ("" for none),
    // for at most 180 s, with `environment` laid over WINEPREFIX, WINEDEBUG=-all and DISPLAY.
    SpawnResult run(const std::filesystem::path& program, const std::vector<std::string>& arguments = {},
                    const std::string& display = "", const std::map<std::string, std::string>& environment = {}) const;

    // `wineserver -k`, then `wineserver -w` (at most 60 s): every Wine process of the prefix has
    // ended and its server has written the registry. Never throws.
    void endAll() const noexcept;

private:
    std::filesystem::path prefix_;
    std::filesystem::path scratch_;
};

} // namespace torvex::testing
