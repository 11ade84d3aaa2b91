#include "support/RealWine.h"

#include "support/ProcessTable.h"

#include <cstdlib>
#include <set>
#include <stdexcept>

namespace torvex::testing {
namespace fs = std::filesystem;

std::optional<std::string> RealWine::missing() {
    if (!WinePrefix::available()) return "Wine is not installed (apt-get install wine wine64)";
    if (!VirtualDisplay::available()) return "Xvfb is not installed (apt-get install xvfb)";
    return std::nullopt;
}

fs::path RealWine::sharedPrefix() { return fs::path(TORVEX_BUILD_DIR) / "real-wine" / "prefix"; }

RealWine::RealWine()
    : paths_{temp_ / "Application Support", temp_ / "Caches", temp_ / "Logs"},
      display_(VirtualDisplay::start()),
      prefix_(sharedPrefix(), temp_.path()) {
    if (!display_) throw std::runtime_error("Xvfb did not start");
    if (const char* old = std::getenv("DISPLAY")) previousDisplay_ = old;
    ::setenv("DISPLAY", display_->name().c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    fs::create_directories(sharedPrefix());
    fs::create_directories(paths_.support / "prefixes");
    fs::create_directory_symlink(sharedPrefix(), paths_.support / "prefixes" / profileID);
}

// prefix_, the last member, ends the prefix's processes before the display they use goes away.
RealWine::~RealWine() {
    if (previousDisplay_) {
        ::setenv("DISPLAY", previousDisplay_->c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
}

WineEnvironment RealWine::locate(const Environment& environment) const {
    Environment given = environment;
    given.emplace("TORVEX_WINE_BIN", "/usr/bin");
    return WineEnvironment::locate(paths_, profileID, given);
}

std::vector<pid_t> RealWine::prefixProcesses() const {
    const std::set<std::string, std::less<>> prefixes{
        "WINEPREFIX=" + (paths_.support / "prefixes" / profileID).string(), "WINEPREFIX=" + sharedPrefix().string()};
    std::vector<pid_t> found;
    for (const FoundProcess& process :
         processesWithVariable([&](std::string_view entry) { return prefixes.count(entry) != 0; })) {
        found.push_back(process.identity.pid);
    }
    return found;
}

SpawnResult RealWine::run(const WineEnvironment& wine, const fs::path& program,
                          const std::vector<std::string>& arguments) const {
    return prefix_.run(program, arguments, display_->name(), wine.environment());
}

} // namespace torvex::testing
