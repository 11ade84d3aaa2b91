#include "Setup/Components.h"

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
        const char* licence;
        const char* archive;
        std::int64_t size;
        const char* sha256;
        const char* archivePath;
        const char* destination;
        const char* marker;
        SystemSource::Kind source;
    } rows[] = {
        {"llvm-mingw", "Windows compiler (llvm-mingw)", "20261020", "Apache-2.0 with LLVM exception; mingw-w64 licences",
         "llvm-mingw-20261020-ucrt-macos-universal.tar.xz", 124415944,
         "e9c13e4ede38e715003ffc674d4d00a1088df8235439d1f0c16188ff0704c17e", "llvm-mingw-20261020-ucrt-macos-universal",
         "toolchain/20261020/llvm-mingw", "toolchain/20261020/llvm-mingw/bin/x86_64-w64-mingw32-clang",
         SystemSource::Kind::llvmMingw},
        {"cmake", "CMake", "3.31.12", "BSD-3-Clause", "cmake-3.31.12-macos-universal.tar.gz", 79954716,
         "799af7fd545db9bf1b9cfe72f8095880e727a2d4e0df0e3dffc3bc7b95c2d3b0", "cmake-3.31.12-macos-universal",
         "toolchain/20261020/cmake", "toolchain/20261020/cmake/CMake.app/Contents/bin/cmake", SystemSource::Kind::links},
        {"ninja", "Ninja", "1.13.2", "Apache-2.0", "ninja-mac.zip", 314051,
         "c99048673aa765960a99cf10c6ddb9f1fad506099ff0a0e137ad8960a88f321b", "ninja", "toolchain/20261020/bin/ninja",
         "toolchain/20261020/bin/ninja", SystemSource::Kind::links},
        {"wine", "Wine", "11.0", "LGPL-2.1-or-later", "wine-stable-11.0_1-osx64.tar.xz", 185303032,
         "b50dc50ec7f41d58b115a6b685d4d1315ba3c797bd3aa0f49213f2703cb82388", "Wine Stable.app",
         "wine/11.0_1/Wine Stable.app", "wine/11.0_1/Wine Stable.app/Contents/Resources/wine/bin/wine",
         SystemSource::Kind::links},
        {"dxvk", "DXVK (Direct3D 11 \u2192 Vulkan)", "1.10.3", "zlib", "dxvk-macOS-async-v1.10.3-20230507-repack.tar.gz",
         2793443, "acd1520ad105d8ef124a09c8e11a259a5dc8bdc565ad18e0e52693f9807b2477",
         "dxvk-macOS-async-v1.10.3-20230507-repack", "dxvk/1.10.3", "dxvk/1.10.3/x64/d3d11.dll",
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
        EXPECT_EQ(c.sha256, rows[i].sha256);
        EXPECT_EQ(c.archivePath, rows[i].archivePath);
        EXPECT_EQ(c.destination, rows[i].destination);
        EXPECT_EQ(c.installedMarker, rows[i].marker);
        EXPECT_EQ(c.source.kind, rows[i].source);
        EXPECT_EQ(c.licence, rows[i].licence);
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
