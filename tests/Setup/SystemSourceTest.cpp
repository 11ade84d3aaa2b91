#include "Setup/SystemSource.h"

#include "Build/Toolchain.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"
#include "Runtime/WineEnvironment.h"
#include "Setup/ComponentInstaller.h"
#include "Setup/Components.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using Phase = ComponentInstaller::Progress::Phase;

namespace {

const Component& component(const std::string& id) {
    for (const auto& c : Components::all())
        if (c.id == id) return c;
    throw std::logic_error("no component " + id);
}

// Why the distribution cannot provide the four components here, or none.
std::optional<std::string> missingPackage() {
    const ComponentInstaller probe{{}};
    for (const char* program : {"clang-14", "ld.lld-14", "llvm-windres-14", "cmake", "ninja", "wine", "wineserver"})
        if (!ProcessRunner::which(program, {"/usr/bin"})) return std::string(program) + " is not installed (bash scripts/bootstrap)";
    std::error_code error;
    if (!fs::is_directory(probe.system.mingwGCC, error)) return "mingw-w64 is not installed (bash scripts/bootstrap)";
    return std::nullopt;
}

std::string firstLine(const fs::path& program, const std::vector<std::string>& arguments) {
    const ProcessResult result = ProcessRunner::shared().capture({program, arguments, {}, std::nullopt});
    EXPECT_EQ(result.exitCode, 0) << program << "\n" << result.standardError;
    return result.standardOutput.substr(0, result.standardOutput.find('\n'));
}

ino_t inode(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_ino;
}

} // namespace

TEST(SystemSourceTest, TheFourAvailableComponentsInstallFromTheDistributionWhereTheLookupsFindThem) {
    if (const auto missing = missingPackage()) GTEST_SKIP() << *missing;
    const TempDir dir;
    const TorvexPaths paths{dir / "Application Support", dir / "Caches", dir / "Logs"};
    const ComponentInstaller installer{paths};
    std::vector<std::pair<std::string, Phase>> reports;
    const auto record = [&](const ComponentInstaller::Progress& progress) {
        reports.emplace_back(progress.component.id, progress.phase);
    };

    installer.install(Components::missing(paths), record);

    EXPECT_EQ(reports, (std::vector<std::pair<std::string, Phase>>{{"llvm-mingw", Phase::installing},
                                                                   {"llvm-mingw", Phase::done},
                                                                   {"cmake", Phase::installing},
                                                                   {"cmake", Phase::done},
                                                                   {"ninja", Phase::installing},
                                                                   {"ninja", Phase::done},
                                                                   {"wine", Phase::installing},
                                                                   {"wine", Phase::done}}));
    EXPECT_TRUE(Components::missing(paths).empty());
    EXPECT_EQ(fs::directory_iterator(paths.caches / "downloads"), fs::directory_iterator());

    const fs::path folder = paths.support / "toolchain" / "20261020";
    const Toolchain toolchain = Toolchain::locate(
        paths, {{"TORVEX_CC", (builtBundle() / "Contents" / "Helpers" / "torvex-cc").string()}});
    EXPECT_EQ(toolchain.version, "20261020");
    EXPECT_EQ(toolchain.mingwRoot, folder / "llvm-mingw");
    EXPECT_EQ(toolchain.cmake, folder / "cmake" / "CMake.app" / "Contents" / "bin" / "cmake");
    EXPECT_EQ(toolchain.ninja, folder / "bin" / "ninja");
    // The tools run from where they were placed, and the compiler's sysroot is that place.
    EXPECT_TRUE(firstLine(toolchain.cmake, {"--version"}).starts_with("cmake version "));
    EXPECT_FALSE(firstLine(toolchain.ninja, {"--version"}).empty());
    EXPECT_NE(firstLine(toolchain.mingwBin() / "x86_64-w64-mingw32-clang", {"--version"}).find("clang"), std::string::npos);
    const std::string script = readFile(toolchain.mingwBin() / "x86_64-w64-mingw32-clang");
    EXPECT_NE(script.find("--sysroot='" + (folder / "llvm-mingw").string() + "'"), std::string::npos) << script;

    const WineEnvironment wine = WineEnvironment::locate(paths, "default", {});
    EXPECT_EQ(wine.bin, paths.support / "wine/11.0_1/Wine Stable.app/Contents/Resources/wine/bin");
    EXPECT_EQ(fs::read_symlink(wine.wineserver()), "/usr/bin/wineserver");

    // The version shown is the package's: CMake's own "3.25.1" leads Debian's "3.25.1-1".
    const std::string cmakeVersion = firstLine(toolchain.cmake, {"--version"}).substr(std::string("cmake version ").size());
    EXPECT_TRUE(component("cmake").shownVersion().value_or("").starts_with(cmakeVersion))
        << component("cmake").shownVersion().value_or("(none)");
    // What the installer made runs this system's programs.
    for (const char* id : {"llvm-mingw", "cmake", "ninja", "wine"}) {
        const auto problem = component(id).source.installedProblem(paths.support / component(id).destination, installer.system);
        EXPECT_FALSE(problem) << id << ": " << problem->detail;
    }

    // A second install changes nothing.
    const ino_t before = inode(folder / "llvm-mingw");
    reports.clear();
    installer.install(Components::all(), record);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(inode(folder / "llvm-mingw"), before);
}

TEST(SystemSourceTest, AMissingPackageNamesTheInstallLineAndLeavesTheOldCopy) {
    const TempDir dir;
    const TorvexPaths paths{dir / "Application Support", dir / "Caches", dir / "Logs"};
    // A distribution with nothing in it but a `wine`.
    const SystemLayout bare{{dir / "usr bin"}, dir / "no sysroot", dir / "no gcc"};
    writeScript(dir / "usr bin" / "wine", "exit 0\n");
    const ComponentInstaller installer{paths, bare};
    const struct {
        const char* id;
        std::string what;
        std::string why;
        std::string fix;
    } cases[] = {
        {"llvm-mingw", "llvm-mingw needs packages that are not installed.",
         "Not found: clang-14 or clang (clang), ld.lld-14 or ld.lld (lld), llvm-windres-14 or llvm-windres (llvm), "
         "llvm-ar-14 or llvm-ar (llvm), llvm-ranlib-14 or llvm-ranlib (llvm), " +
             (dir / "no sysroot" / "include").string() + " and " + (dir / "no gcc").string() +
             " (g++-mingw-w64-x86-64-posix).",
         "Install them with `apt-get install clang lld llvm g++-mingw-w64-x86-64-posix`, then try again."},
        {"cmake", "CMake needs packages that are not installed.", "Not found: cmake (cmake).",
         "Install it with `apt-get install cmake`, then try again."},
        {"ninja", "Ninja needs packages that are not installed.", "Not found: ninja (ninja-build).",
         "Install it with `apt-get install ninja-build`, then try again."},
        {"wine", "Wine needs packages that are not installed.",
         "Not found: wineboot (wine), wineserver (wine), wine64 (wine64).",
         "Install them with `apt-get install wine wine64`, then try again."},
        {"dxvk", "DXVK (Direct3D 11 \u2192 Vulkan) is not available on this system.",
         "The distribution has no package of it.", "Nothing to do: Torvex works without it."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const Component& wanted = component(c.id);
        writeFile(paths.support / wanted.destination / "old", "old copy");
        const TorvexError error = errorOf([&] { installer.install(wanted, nullptr); });
        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, c.what);
        EXPECT_EQ(error.why, c.why);
        EXPECT_EQ(error.fix, c.fix);
        EXPECT_EQ(readFile(paths.support / wanted.destination / "old"), "old copy");
        EXPECT_EQ(fs::directory_iterator(paths.caches / "downloads"), fs::directory_iterator());
    }
}

TEST(SystemSourceTest, AnAssembledLLVMMingwFailsWhenThePackagesItWasMadeFromAreGone) {
    const std::string mingw = "g++-mingw-w64-x86-64-posix";
    const struct {
        const char* name;
        std::vector<fs::path> removed;  // relative to the distribution
        std::optional<std::string> gone;  // the first thing named as missing; none for the mingw-w64 folders
        std::string packages;
    } cases[] = {
        {"the mingw-w64 headers", {"mingw/include"}, std::nullopt, mingw},
        {"the GCC support folder", {"gcc"}, std::nullopt, mingw},
        {"clang and the GCC support folder", {"bin/clang-14", "gcc"}, "clang-14 or clang (clang)", "clang " + mingw},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const fs::path distribution = dir / "distribution";
        const SystemLayout layout{{distribution / "bin"}, distribution / "mingw", distribution / "gcc"};
        for (const char* program : {"clang-14", "ld.lld-14", "llvm-windres-14", "llvm-ar-14", "llvm-ranlib-14"})
            writeScript(distribution / "bin" / program, "exit 0\n");
        fs::create_directories(distribution / "mingw" / "include");
        fs::create_directories(distribution / "gcc");
        const fs::path item = dir / "llvm-mingw";
        assembleLLVMMingw(item, item, layout);
        const SystemSource& source = component("llvm-mingw").source;
        EXPECT_FALSE(source.installedProblem(item, layout));

        for (const auto& removed : c.removed) fs::remove_all(distribution / removed);

        const std::string folders = (layout.mingwSysroot / "include").string() + " and " + layout.mingwGCC.string() +
                                    " (" + mingw + ")";
        const auto problem = source.installedProblem(item, layout);
        if (!problem) {
            ADD_FAILURE() << "no problem found";
            continue;
        }
        EXPECT_EQ(problem->detail, "Not working: this system has no " + c.gone.value_or(folders) + " any more");
        EXPECT_EQ(problem->fix, "Install it with `apt-get install " + c.packages + "`, then run `torvex doctor` again.");
    }
}
