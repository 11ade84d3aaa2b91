#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace torvex {

// Where the distribution keeps what system-sourced components are made from.
struct SystemLayout {
    std::vector<std::filesystem::path> programFolders{"/usr/bin", "/usr/lib/llvm-14/bin", "/usr/lib/wine"};
    std::filesystem::path mingwSysroot = "/usr/x86_64-w64-mingw32";
    std::filesystem::path mingwGCC = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix";
};

// One program of the distribution that a system-sourced component needs.
struct SystemProgram {
    std::vector<std::string> names;   // tried in order, each in every program folder
    std::string package;              // the Debian package that provides it
    std::optional<std::string> link;  // where the item links to it, relative to the item ("" is the
                                      // item itself); none when it is only required
};

// How this platform provides a component in place of its download: from the distribution's
// packages, assembled or linked into the component's destination.
struct SystemSource {
    enum class Kind {
        none,         // downloaded from the component's address
        llvmMingw,    // an llvm-mingw-shaped folder assembled from clang, lld, llvm and mingw-w64
        links,        // links to the distribution's programs
        unavailable,  // the distribution has no package of it
    };

    Kind kind = Kind::none;
    std::vector<std::string> packages;  // what it is made from; the first one's version is shown
    std::vector<SystemProgram> programs;

    bool providesComponent() const { return kind == Kind::llvmMingw || kind == Kind::links; }

    // Makes the component's item at `item` (nothing may be there yet); `installedPath` is where the
    // item will be used from, which the llvm-mingw tools name. A missing package throws a
    // TorvexError whose fix names the `apt-get install` line; file-system errors pass unchanged.
    void assemble(const std::string& name, const std::filesystem::path& item,
                  const std::filesystem::path& installedPath, const SystemLayout& layout) const;

    // The installed version of the first package as the package manager reports it; none when it
    // is not installed or cannot be asked.
    std::optional<std::string> installedVersion(std::stop_token stop = {}) const;

    // Why the item installed at `item` does not run this system's programs: a program it needs is
    // gone from the system, or what it holds in a program's place is no link to that program (or,
    // for llvm-mingw, a tool script is missing). None when it does.
    struct Problem {
        std::string detail;  // one line
        std::string fix;
    };
    std::optional<Problem> installedProblem(const std::filesystem::path& item, const SystemLayout& layout) const;
};

// Assembles an llvm-mingw-shaped folder at `root` (made or brought up to date in place):
// bin/x86_64-w64-mingw32-{clang,clang++,windres} as small sh scripts that run Debian's clang 14 and
// llvm-windres for x86_64-w64-mingw32 with lld, bin/llvm-{ar,ranlib} and
// x86_64-w64-mingw32-{ar,ranlib} as links, and a sysroot of links to the mingw-w64 headers,
// libraries and GCC support folder. The scripts name `installedRoot` as the sysroot, so the folder
// can be assembled elsewhere and moved there. Throws like SystemSource::assemble.
void assembleLLVMMingw(const std::filesystem::path& root, const std::filesystem::path& installedRoot,
                       const SystemLayout& layout = {});

} // namespace torvex
