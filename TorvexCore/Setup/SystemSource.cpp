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

    void throwIfAny(const std::string& name) const {
        if (items.empty()) return;
        std::string list, line;
        for (const auto& item : items) list += (list.empty() ? "" : ", ") + item;
        for (const auto& package : packages) line += " " + package;
        throw TorvexError(TorvexError::Kind::generic, name + " needs packages that are not installed.",
                          "Not found: " + list + ".",
                          std::string(packages.size() == 1 ? "Install it" : "Install them") + " with `apt-get install" +
                              line + "`, then try again.");
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

struct LLVMTool {
    const char* role;
    std::vector<std::string> names;
    const char* package;
};

const std::vector<LLVMTool>& llvmTools() {
    static const std::vector<LLVMTool> rows = {
        {"clang", {"clang-14", "clang"}, "clang"},
        {"ld.lld", {"ld.lld-14", "ld.lld"}, "lld"},
        {"windres", {"llvm-windres-14", "llvm-windres"}, "llvm"},
        {"ar", {"llvm-ar-14", "llvm-ar"}, "llvm"},
        {"ranlib", {"llvm-ranlib-14", "llvm-ranlib"}, "llvm"},
    };
    return rows;
}

} // namespace

void assembleLLVMMingw(const fs::path& root, const fs::path& installedRoot, const SystemLayout& layout) {
    Shortfall shortfall;
    std::vector<fs::path> found;
    for (const auto& tool : llvmTools()) {
        const auto program = findProgram(tool.names, layout);
        if (!program) shortfall.add(alternatives(tool.names), tool.package);
        found.push_back(program.value_or(fs::path()));
    }
    std::error_code error;
    if (!fs::is_directory(layout.mingwSysroot / "include", error) || !fs::is_directory(layout.mingwGCC, error))
        shortfall.add((layout.mingwSysroot / "include").string() + " and " + layout.mingwGCC.string(),
                      "g++-mingw-w64-x86-64-posix");
    shortfall.throwIfAny("llvm-mingw");
    const fs::path &clang = found[0], &windres = found[2], &ar = found[3], &ranlib = found[4];

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

    Shortfall shortfall;
    std::vector<std::pair<fs::path, std::string>> links;  // target, place inside the item
    for (const auto& program : programs) {
        const auto found = findProgram(program.names, layout);
        if (!found) shortfall.add(alternatives(program.names), program.package);
        else if (program.link) links.emplace_back(*found, *program.link);
    }
    shortfall.throwIfAny(name);
    for (const auto& [target, place] : links) {
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
    std::vector<SystemProgram> needed = programs;
    if (kind == Kind::llvmMingw) {
        for (const auto& tool : llvmTools()) needed.push_back({tool.names, tool.package, std::nullopt});
    }
    Shortfall gone;
    for (const auto& program : needed)
        if (!findProgram(program.names, layout)) gone.add(alternatives(program.names), program.package);
    if (!gone.items.empty()) {
        std::string line;
        for (const auto& package : gone.packages) line += " " + package;
        return Problem{"Not working: this system has no " + gone.items.front() + " any more",
                       "Install it with `apt-get install" + line + "`, then run `torvex doctor` again."};
    }
    const std::string relink = "Remove " + item.string() + ", then run `torvex setup` to link this system's packages again.";
    if (kind == Kind::llvmMingw) {
        for (const char* tool : {"x86_64-w64-mingw32-clang", "x86_64-w64-mingw32-clang++", "x86_64-w64-mingw32-windres"})
            if (!isExecutableFile(item / "bin" / tool))
                return Problem{"Not working: " + (item / "bin" / tool).string() + " is missing", relink};
        return std::nullopt;
    }
    for (const auto& program : programs) {
        if (!program.link) continue;
        const fs::path place = program.link->empty() ? item : item / *program.link;
        const fs::path expected = *findProgram(program.names, layout);
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
