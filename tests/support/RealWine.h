#pragma once

#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Runtime/WineEnvironment.h"
#include "support/TestSupport.h"
#include "support/VirtualDisplay.h"
#include "support/WindowsProgram.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace torvex::testing {

// Debian's real Wine (/usr/bin) for the tests labelled `wine`, on a private Xvfb.
//
// One Wine prefix serves a whole ctest run, since wineboot takes ~8 s and ~0.7 GB: the test
// RealWinePrefix.Create makes it and RealWinePrefix.Remove deletes it (the ctest fixture
// "real-wine"), and the tests that use it hold the resource lock "real-wine", so they take turns.
// Declare such a test file with torvex_real_wine_test() in its folder's CMakeLists.txt and give
// each test app names of its own. Run on its own, a test makes the prefix on first use and leaves it.
//
// A RealWine is one test's share of it: a folder of the test's own whose support root holds its
// own "wine" and "dxvk" folders and "prefixes/<profileID>", a link to the shared prefix; DISPLAY is
// its own Xvfb and WINEDEBUG is -all in this process while it lives. Its end ends every Wine
// process of the prefix (wineserver -k, then -w) and stops the Xvfb.
//
//   if (auto why = RealWine::missing()) GTEST_SKIP() << *why;
//   RealWine real;
//   const WineEnvironment wine = real.locate();
//   wine.ensurePrefix({});
class RealWine {
public:
    static constexpr const char* profileID = "wine-tests";

    // Why real Wine cannot run here (Wine or Xvfb missing), or none.
    static std::optional<std::string> missing();
    // The run's prefix: <build folder>/real-wine/prefix. Only one ctest run of a build folder may use it at a time.
    static std::filesystem::path sharedPrefix();

    RealWine();  // throws when Xvfb does not start
    ~RealWine();
    RealWine(const RealWine&) = delete;
    RealWine& operator=(const RealWine&) = delete;

    // The test's own folder, and roots below it.
    const std::filesystem::path& folder() const { return temp_.path(); }
    const TorvexPaths& paths() const { return paths_; }
    const VirtualDisplay& display() const { return *display_; }

    // The Wine environment of profileID, located with TORVEX_WINE_BIN=/usr/bin and `environment`.
    WineEnvironment locate(const Environment& environment = {}) const;

    // The processes (zombies aside) whose WINEPREFIX is this test's prefix or the shared one:
    // the server, Wine's own services and every program started in it.
    std::vector<pid_t> prefixProcesses() const;

    // Runs the Windows program with plain `wine`, in its own folder and with the Wine environment
    // of `wine`, for at most 180 s.
    SpawnResult run(const WineEnvironment& wine, const std::filesystem::path& program,
                    const std::vector<std::string>& arguments = {}) const;

private:
    TempDir temp_;
    TorvexPaths paths_;
    std::optional<VirtualDisplay> display_;
    std::optional<std::string> previousDisplay_;
    WinePrefix prefix_;
};

} // namespace torvex::testing
