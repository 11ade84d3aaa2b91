#include "support/WindowsProgram.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace torvex::testing {
namespace fs = std::filesystem;

namespace {

std::uint32_t littleEndian(const std::string& bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width && at + i < bytes.size(); ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

} // namespace

void expectPE32PlusForX64(const fs::path& file) {
    const std::string bytes = readFile(file);
    ASSERT_GE(bytes.size(), 0x40u) << file;
    EXPECT_EQ(bytes.substr(0, 2), "MZ") << file;
    const std::uint32_t pe = littleEndian(bytes, 0x3c, 4);
    ASSERT_LT(pe + 26u, bytes.size()) << file;
    EXPECT_EQ(bytes.substr(pe, 4), std::string("PE\0\0", 4)) << file;
    EXPECT_EQ(littleEndian(bytes, pe + 4, 2), 0x8664u) << file;  // IMAGE_FILE_MACHINE_AMD64
    EXPECT_EQ(littleEndian(bytes, pe + 24, 2), 0x20bu) << file;  // PE32+ optional header
}

std::string withoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

WinePrefix::WinePrefix(fs::path prefix, fs::path scratch) : prefix_(std::move(prefix)), scratch_(std::move(scratch)) {}

WinePrefix::~WinePrefix() { endAll(); }

void WinePrefix::endAll() const noexcept {
    try {
        const std::map<std::string, std::string> environment{{"WINEPREFIX", prefix_.string()}};
        spawnAndWait({"/usr/bin/wineserver", {"wineserver", "-k"}, std::nullopt, environment}, scratch_);
        spawnAndWait({"/usr/bin/timeout", {"timeout", "60", "/usr/bin/wineserver", "-w"}, std::nullopt, environment},
                     scratch_);
    } catch (...) {
    }
}

bool WinePrefix::available() { return fs::exists("/usr/bin/wine"); }

SpawnResult WinePrefix::run(const fs::path& program, const std::vector<std::string>& arguments,
                            const std::string& display, const std::map<std::string, std::string>& environment) const {
    std::vector<std::string> argv = {"timeout", "180", "/usr/bin/wine", program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::map<std::string, std::string> variables{{"WINEPREFIX", prefix_.string()}, {"WINEDEBUG", "-all"}, {"DISPLAY", display}};
    for (const auto& [name, value] : environment) variables[name] = value;
    return spawnAndWait({"/usr/bin/timeout", argv, program.parent_path(), variables}, scratch_);
}

} // namespace torvex::testing
