#include "Components.h"

namespace torvex {
namespace fs = std::filesystem;

bool Component::isInstalled(const TorvexPaths& paths) const {
    std::error_code error;
    return fs::exists(paths.support / installedMarker, error);
}

std::string Component::archiveFileName() const { return url.substr(url.rfind('/') + 1); }

std::optional<std::string> Component::shownVersion(std::stop_token stop) const {
    if (!source.providesComponent()) return version;
    return source.installedVersion(std::move(stop));
}

std::string Component::packageList(std::string_view separator) const {
    std::string list;
    for (const auto& package : source.packages) {
        if (!list.empty()) list += separator;
        list += package;
    }
    return list;
}

namespace Components {

const std::vector<Component>& all() {
    using Kind = SystemSource::Kind;
    static const std::vector<Component>* table = new std::vector<Component>{
        {"llvm-mingw", "Windows compiler (llvm-mingw)", "20261020", "Apache-2.0 with LLVM exception; mingw-w64 licences",
         "https://github.com/mstorsjo/llvm-mingw/releases/download/20261020/llvm-mingw-20261020-ucrt-macos-universal.tar.xz",
         "e9c13e4ede38e715003ffc674d4d00a1088df8235439d1f0c16188ff0704c17e", 124415944,
         "llvm-mingw-20261020-ucrt-macos-universal", "toolchain/20261020/llvm-mingw",
         "toolchain/20261020/llvm-mingw/bin/x86_64-w64-mingw32-clang",
         {Kind::llvmMingw, {"clang", "lld", "llvm", "g++-mingw-w64-x86-64-posix"}, {}}},
        {"cmake", "CMake", "3.31.12", "BSD-3-Clause",
         "https://github.com/Kitware/CMake/releases/download/v3.31.12/cmake-3.31.12-macos-universal.tar.gz",
         "799af7fd545db9bf1b9cfe72f8095880e727a2d4e0df0e3dffc3bc7b95c2d3b0", 79954716, "cmake-3.31.12-macos-universal",
         "toolchain/20261020/cmake", "toolchain/20261020/cmake/CMake.app/Contents/bin/cmake",
         {Kind::links, {"cmake"}, {{{"cmake"}, "cmake", "CMake.app/Contents/bin/cmake"}}}},
        {"ninja", "Ninja", "1.13.2", "Apache-2.0",
         "https://github.com/ninja-build/ninja/releases/download/v1.13.2/ninja-mac.zip",
         "c99048673aa765960a99cf10c6ddb9f1fad506099ff0a0e137ad8960a88f321b", 314051, "ninja",
         "toolchain/20261020/bin/ninja", "toolchain/20261020/bin/ninja",
         {Kind::links, {"ninja-build"}, {{{"ninja"}, "ninja-build", ""}}}},
        {"wine", "Wine", "11.0", "LGPL-2.1-or-later",
         "https://github.com/Gcenx/macOS_Wine_builds/releases/download/11.0/wine-stable-11.0_1-osx64.tar.xz",
         "b50dc50ec7f41d58b115a6b685d4d1315ba3c797bd3aa0f49213f2703cb82388", 185303032, "Wine Stable.app",
         "wine/11.0_1/Wine Stable.app", "wine/11.0_1/Wine Stable.app/Contents/Resources/wine/bin/wine",
         {Kind::links,
          {"wine", "wine64"},
          {{{"wine"}, "wine", "Contents/Resources/wine/bin/wine"},
           {{"wineboot"}, "wine", "Contents/Resources/wine/bin/wineboot"},
           {{"wineserver"}, "wine", "Contents/Resources/wine/bin/wineserver"},
           {{"wine64"}, "wine64", std::nullopt}}}},
        {"dxvk", "DXVK (Direct3D 11 \u2192 Vulkan)", "1.10.3", "zlib",
         "https://github.com/Gcenx/DXVK-macOS/releases/download/v1.10.3-20230507-repack/"
         "dxvk-macOS-async-v1.10.3-20230507-repack.tar.gz",
         "acd1520ad105d8ef124a09c8e11a259a5dc8bdc565ad18e0e52693f9807b2477", 2793443,
         "dxvk-macOS-async-v1.10.3-20230507-repack", "dxvk/1.10.3", "dxvk/1.10.3/x64/d3d11.dll",
         {Kind::unavailable, {}, {}}},
    };
    return *table;
}

std::vector<Component> missing(const TorvexPaths& paths) {
    std::vector<Component> result;
    for (const auto& component : all()) {
        if (!component.isUnavailable() && !component.isInstalled(paths)) result.push_back(component);
    }
    return result;
}

} // namespace Components

} // namespace torvex
