#include "SystemSource.h"

#include "Core/Files.h"
#include "Core/LinkPlacement.h"
#include "Core/ProcessRunner.h"
#include "Core/TextFile.h"
#include "Core/TorvexError.h"

#include <algorithm>

namespace torvex {
namespace fs = std::filesystem;
namespace {

// What could not be found, and which packages provide it.
struct Shortfall {
    std::vector<std::string> items;
    std::vector<std::string> packages;

    void add(const std::string& item, const std::string& package) {
        items.push_back(item + " (" + package + ")");
        if (std::find(packages.begin(), packages.end(), package) == packages.end()) packages.push_back(package);
    }

    // "apt-get install a b".
    std::string installCommand() const {
        std::string command = "apt-get install";
        for (const auto& package : packages) command += " " + package;
        return command;
    }

    void throwIfAny(const std::string& name) const {
        if (items.empty()) return;
        std::string list;
        for (const auto& item : items) list += (list.empty() ? "" : ", ") + item;
        throw TorvexError(TorvexError::Kind::generic, name + " needs packages that are not installed.",
                          "Not found: " + list + ".",
                          std::string(packages.size() == 1 ? "Install it" : "Install them") + " with `" +
                              installCommand() + "`, then try again.");
    }
};

std::string alternatives(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : " or ") + name;
    return text;
}

std::optional<fs::path> findProgram(const std::vector<std::string>& names, const SystemLayout& layout) {
    for (const auto& name : names) {
        for (const auto& folder : layout.programFolders) {
            if (isExecutableFile(folder / name)) return folder / name;
        }
    }
    return std::nullopt;
}

// `text` as one single-quoted sh word.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void writeTool(const fs::path& file, const std::string& command) {
    writeFileAtomically(file, "#!/bin/sh\n" + command + "\n");
    fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

// What llvm-mingw is assembled from besides the mingw-w64 folders: clang, ld.lld, windres, ar, ranlib.
const std::vector<SystemProgram>& llvmTools() {
    static const std::vector<SystemProgram> rows = {
        {{"clang-14", "clang"}, "clang", std::nullopt},
        {{"ld.lld-14", "ld.lld"}, "lld", std::nullopt},
        {{"llvm-windres-14", "llvm-windres"}, "llvm", std::nullopt},
        {{"llvm-ar-14", "llvm-ar"}, "llvm", std::nullopt},
        {{"llvm-ranlib-14", "llvm-ranlib"}, "llvm", std::nullopt},
    };
    return rows;
}

// Where this system has what a component of `kind` is made from, and what it lacks.
struct Lookup {
    std::vector<fs::path> found;  // one per program, then (llvm-mingw) per tool; empty where missing
    Shortfall shortfall;
};

Lookup lookUp(std::vector<SystemProgram> programs, SystemSource::Kind kind, const SystemLayout& layout) {
    const bool llvmMingw = kind == SystemSource::Kind::llvmMingw;
    if (llvmMingw) programs.insert(programs.end(), llvmTools().begin(), llvmTools().end());
    Lookup lookup;
    for (const auto& program : programs) {
        const auto found = findProgram(program.names, layout);
        if (!found) lookup.shortfall.add(alternatives(program.names), program.package);
        lookup.found.push_back(found.value_or(fs::path()));
    }
    std::error_code error;
    if (llvmMingw &&
        (!fs::is_directory(layout.mingwSysroot / "include", error) || !fs::is_directory(layout.mingwGCC, error)))
        lookup.shortfall.add((layout.mingwSysroot / "include").string() + " and " + layout.mingwGCC.string(),
                             "g++-mingw-w64-x86-64-posix");
    return lookup;
}

} // namespace

void assembleLLVMMingw(const fs::path& root, const fs::path& installedRoot, const SystemLayout& layout) {
    const Lookup lookup = lookUp({}, SystemSource::Kind::llvmMingw, layout);
    lookup.shortfall.throwIfAny("llvm-mingw");
    const fs::path &clang = lookup.found[0], &windres = lookup.found[2], &ar = lookup.found[3], &ranlib = lookup.found[4];

    const fs::path bin = root / "bin";
    fs::create_directories(bin);
    fs::create_directories(root / "lib" / "gcc" / "x86_64-w64-mingw32");
    // Clang 14 does not find Debian's "12-posix" GCC folder on its own: the sysroot names it as a version.
    placeLink(layout.mingwSysroot, root / "x86_64-w64-mingw32");
    placeLink(layout.mingwGCC, root / "lib" / "gcc" / "x86_64-w64-mingw32" / "12.2.0");

    // Scripts, not links: a bare clang link would pick GNU ld, a bare windres the host's preprocessor.
    // -D__GXX_TYPEINFO_EQUALITY_INLINE=0: GCC predefines it for MinGW and clang does not; without it a
    // static link against libstdc++ finds std::type_info::operator== twice.
    const std::string sysroot = shellQuoted(installedRoot.string());
    const std::string clangFlags = "--target=x86_64-w64-mingw32 --sysroot=" + sysroot +
                                   " -fuse-ld=lld -pthread -D__GXX_TYPEINFO_EQUALITY_INLINE=0";
    writeTool(bin / "x86_64-w64-mingw32-clang", "exec " + shellQuoted(clang.string()) + " " + clangFlags + " \"$@\"");
    writeTool(bin / "x86_64-w64-mingw32-clang++",
              "exec " + shellQuoted(clang.string()) + " --driver-mode=g++ " + clangFlags + " \"$@\"");
    writeTool(bin / "x86_64-w64-mingw32-windres",
              "exec " + shellQuoted(windres.string()) + " --target=pe-x86-64 --preprocessor-arg=--sysroot=" + sysroot +
                  " --preprocessor-arg=--target=x86_64-w64-mingw32 \"$@\"");
    placeLink(ar, bin / "llvm-ar");
    placeLink(ranlib, bin / "llvm-ranlib");
    placeLink(ar, bin / "x86_64-w64-mingw32-ar");
    placeLink(ranlib, bin / "x86_64-w64-mingw32-ranlib");
}

void SystemSource::assemble(const std::string& name, const fs::path& item, const fs::path& installedPath,
                            const SystemLayout& layout) const {
    if (kind == Kind::llvmMingw) {
        assembleLLVMMingw(item, installedPath, layout);
        return;
    }
    if (kind != Kind::links)
        throw TorvexError(TorvexError::Kind::generic, name + " is not available on this system.",
                          "The distribution has no package of it.", "Nothing to do: Torvex works without it.");

    const Lookup lookup = lookUp(programs, kind, layout);
    lookup.shortfall.throwIfAny(name);
    for (std::size_t i = 0; i < programs.size(); ++i) {
        if (!programs[i].link) continue;
        const fs::path& target = lookup.found[i];
        const std::string& place = *programs[i].link;
        if (place.empty()) {
            fs::create_symlink(target, item);
            continue;
        }
        fs::create_directories((item / place).parent_path());
        fs::create_symlink(target, item / place);
    }
}

std::optional<SystemSource::Problem> SystemSource::installedProblem(const fs::path& item,
                                                                   const SystemLayout& layout) const {
    const Lookup lookup = lookUp(programs, kind, layout);
    if (const Shortfall& gone = lookup.shortfall; !gone.items.empty())
        return Problem{"Not working: this system has no " + gone.items.front() + " any more",
                       "Install it with `" + gone.installCommand() + "`, then run `torvex doctor` again."};
    const std::string relink = "Remove " + item.string() + ", then run `torvex setup` to link this system's packages again.";
    if (kind == Kind::llvmMingw) {
        for (const char* tool : {"x86_64-w64-mingw32-clang", "x86_64-w64-mingw32-clang++", "x86_64-w64-mingw32-windres"})
            if (!isExecutableFile(item / "bin" / tool))
                return Problem{"Not working: " + (item / "bin" / tool).string() + " is missing", relink};
        return std::nullopt;
    }
    for (std::size_t i = 0; i < programs.size(); ++i) {
        if (!programs[i].link) continue;
        const fs::path place = programs[i].link->empty() ? item : item / *programs[i].link;
        const fs::path& expected = lookup.found[i];
        std::error_code error;
        const bool linked = fs::is_symlink(fs::symlink_status(place, error));
        const fs::path target = linked ? fs::canonical(place, error) : fs::path();
        if (!linked || error || target != fs::canonical(expected, error) || error)
            return Problem{"Not working: " + place.string() + " is not this system's " + expected.filename().string() +
                               " (" + expected.string() + ")",
                           relink};
    }
    return std::nullopt;
}

std::optional<std::string> SystemSource::installedVersion(std::stop_token stop) const {
    if (packages.empty()) return std::nullopt;
    const auto dpkgQuery = ProcessRunner::which("dpkg-query", {"/usr/bin"});
    if (!dpkgQuery) return std::nullopt;
    try {
        // One line per installed architecture: "ii |1.11.1-2".
        const ProcessSpec spec{*dpkgQuery, {"-W", "-f=${db:Status-Abbrev}|${Version}\\n", packages.front()}, {}, std::nullopt};
        const ProcessResult result = ProcessRunner::shared().capture(spec, std::move(stop));
        if (result.exitCode != 0) return std::nullopt;
        std::string_view rest = result.standardOutput;
        while (!rest.empty()) {
            const std::string_view line = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
            const auto bar = line.find('|');
            if (line.starts_with("ii") && bar != std::string_view::npos && bar + 1 < line.size())
                return std::string(line.substr(bar + 1));
        }
        return std::nullopt;
    } catch (const TorvexError&) {
        return std::nullopt;
    }
}

} // namespace torvex
