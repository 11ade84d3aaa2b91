// Assembles an llvm-mingw-shaped folder DIR/llvm-mingw from Debian's clang, lld, llvm and mingw-w64
// with the assembly `torvex setup` uses, and prints its bin folder. scripts/local-llvm-mingw runs it.
// Usage: assemble-llvm-mingw DIR. Exits 69 when a package is missing, 64 on a bad command line.

#include "Core/TorvexError.h"
#include "Setup/SystemSource.h"

#include <cstdio>
#include <exception>
#include <filesystem>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: local-llvm-mingw DIR\n");
        return 64;
    }
    std::error_code error;
    if (fs::exists(argv[1], error) && !fs::is_directory(argv[1], error)) {
        std::fprintf(stderr, "local-llvm-mingw: %s is not a folder.\n  Why: the toolchain is assembled inside DIR.\n"
                             "  Fix: name a new or existing folder.\n", argv[1]);
        return 64;
    }
    const fs::path root = (fs::absolute(argv[1]).lexically_normal() / "").parent_path() / "llvm-mingw";
    try {
        torvex::assembleLLVMMingw(root, root);
    } catch (const torvex::TorvexError& failure) {
        std::fprintf(stderr, "local-llvm-mingw: %s\n", failure.description().c_str());
        return 69;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "local-llvm-mingw: %s\n", failure.what());
        return 1;
    }
    std::printf("%s\n", (root / "bin").c_str());
    return 0;
}
