#include "Components.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> ids(const std::vector<Component>& components) {
    std::vector<std::string> result;
    for (const auto& component : components) result.push_back(component.id);
    return result;
}

void installMarker(const TorvexPaths& paths, const Component& component) {
    writeFile(paths.support / component.installedMarker, "marker");
}

} // namespace

TEST(ComponentsTest, TheTableIsTheFiveRecordsInInstallationOrder) {
    const struct {
        const char* id;
        const char* name;
        const char* version;
        const char* archive;
        std::int64_t size;
        const char* sha256Prefix;
        const char* archivePath;
        const char* destination;
        const char* marker;
        SystemSource::Kind source;
    } rows[] = {
        {"llvm-mingw", "Windows compiler (llvm-mingw)", "20261020", "llvm-mingw-20261020-ucrt-macos-universal.tar.xz",
         124415944, "e9c13e4ede38", "llvm-mingw-20261020-ucrt-macos-universal", "toolchain/20261020/llvm-mingw",
         "toolchain/20261020/llvm-mingw/bin/x86_64-w64-mingw32-clang", SystemSource::Kind::llvmMingw},
        {"cmake", "CMake", "3.31.12", "cmake-3.31.12-macos-universal.tar.gz", 79954716, "799af7fd545d",
         "cmake-3.31.12-macos-universal", "toolchain/20261020/cmake",
         "toolchain/20261020/cmake/CMake.app/Contents/bin/cmake", SystemSource::Kind::links},
        {"ninja", "Ninja", "1.13.2", "ninja-mac.zip", 314051, "c99048673aa7", "ninja", "toolchain/20261020/bin/ninja",
         "toolchain/20261020/bin/ninja", SystemSource::Kind::links},
        {"wine", "Wine", "11.0", "wine-stable-11.0_1-osx64.tar.xz", 185303032, "b50dc50ec7f4", "Wine Stable.app",
         "wine/11.0_1/Wine Stable.app", "wine/11.0_1/Wine Stable.app/Contents/Resources/wine/bin/wine",
         SystemSource::Kind::links},
        {"dxvk", "DXVK (Direct3D 11 \u2192 Metal)", "1.10.3", "dxvk-macOS-async-v1.10.3-20230507-repack.tar.gz", 2793443,
         "acd1520ad105", "dxvk-macOS-async-v1.10.3-20230507-repack", "dxvk/1.10.3", "dxvk/1.10.3/x64/d3d11.dll",
         SystemSource::Kind::unavailable},
    };
    const auto& all = Components::all();
    ASSERT_EQ(all.size(), std::size(rows));
    EXPECT_EQ(&all, &Components::all());  // built once
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Component& c = all[i];
        SCOPED_TRACE(c.id);
        EXPECT_EQ(c.id, rows[i].id);
        EXPECT_EQ(c.name, rows[i].name);
        EXPECT_EQ(c.version, rows[i].version);
        EXPECT_EQ(c.archiveFileName(), rows[i].archive);
        EXPECT_TRUE(c.url.starts_with("https://")) << c.url;
        EXPECT_EQ(c.size, rows[i].size);
        EXPECT_EQ(c.sha256.size(), 64u);
        EXPECT_TRUE(c.sha256.starts_with(rows[i].sha256Prefix));
        EXPECT_EQ(c.archivePath, rows[i].archivePath);
        EXPECT_EQ(c.destination, rows[i].destination);
        EXPECT_EQ(c.installedMarker, rows[i].marker);
        EXPECT_EQ(c.source.kind, rows[i].source);
        EXPECT_FALSE(c.licence.empty());
    }
    EXPECT_EQ(all[4].isUnavailable(), true);
    EXPECT_EQ(all[4].shownVersion(), "1.10.3");
}

TEST(ComponentsTest, OnlyTheMarkersCountAndWhatThisSystemCannotProvideIsNeverMissing) {
    const TempDir dir;
    const TorvexPaths paths{dir / "Application Support", dir / "Caches", dir / "Logs"};
    const auto& all = Components::all();
    const std::vector<std::string> installable{"llvm-mingw", "cmake", "ninja", "wine"};

    EXPECT_EQ(ids(Components::missing(paths)), installable);

    // A newer toolchain folder beside the table's is not the table's.
    writeFile(paths.support / "toolchain/20270101/llvm-mingw/bin/x86_64-w64-mingw32-clang", "newer");
    // A marker that is a dangling link does not count; one that is a folder does.
    fs::create_directories(paths.support / "toolchain/20261020/bin");
    fs::create_symlink(dir / "nowhere", paths.support / all[2].installedMarker);
    fs::create_directories(paths.support / all[3].installedMarker);
    EXPECT_EQ(ids(Components::missing(paths)), (std::vector<std::string>{"llvm-mingw", "cmake", "ninja"}));
    EXPECT_FALSE(all[2].isInstalled(paths));
    EXPECT_TRUE(all[3].isInstalled(paths));

    fs::remove(paths.support / all[2].installedMarker);
    for (const auto& component : all)  // a damaged install with its marker counts
        if (!component.isInstalled(paths)) installMarker(paths, component);
    EXPECT_EQ(ids(Components::missing(paths)), std::vector<std::string>{});
    fs::remove(paths.support / "toolchain/20261020/bin/ninja");
    EXPECT_EQ(ids(Components::missing(paths)), std::vector<std::string>{"ninja"});
}
