#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// SDK import libraries found whatever the letter case of their names, as on Windows: a link that
// asks for Gdi32 (as -lGdi32, or through the /DEFAULTLIB:Gdi32.lib that #pragma comment(lib, ...)
// leaves in an object) finds mingw-w64's libgdi32.a. lld looks each name up as it is spelled, so the
// link is given one more search folder, after every folder it names itself, holding a link under
// each spelling it asks for that the SDK's library folder has only in another letter case. A
// library that the project's own folders or the SDK hold under the spelling asked for is found
// there as before.
namespace torvex::SDKLibraryLinks {

// Reads `length` bytes at `offset` (fewer at the end of the file, none past it).
using ReadAt = std::function<std::string(std::uint64_t offset, std::size_t length)>;

// The libraries that the /DEFAULTLIB: directives of a COFF object, or of the objects in an
// archive of them, ask for, as written ("Gdi32.lib"). Anything else (import members, bitcode, a
// thin or truncated archive, another kind of file) gives none.
std::vector<std::string> directiveLibraries(const ReadAt& read);

// The archive file name that lld looks for in each search folder for a name on the link line
// (-l<name>: "lib<name>.a") or in a directive ("Gdi32.lib": "libGdi32.a"); none when lld takes
// the name as a file of its own (-l:name, a directive with a path).
std::optional<std::string> archiveName(std::string_view name, bool directive);

// Whether clang, given these arguments, links (it does not stop after compiling or preprocessing).
bool isLinkCommand(const std::vector<std::string>& arguments);

struct Prepared {
    std::vector<std::string> arguments;  // the link's, with -L<link folder> appended when it is needed
    std::vector<std::string> problems;   // links that could not be made, one line each
};

// Makes the links in `linkFolder` that the link of `arguments` needs to find its libraries in
// `sdkFolder` (the SDK's library folder) whatever their letter case: for the -l names and for the
// directives of every object and archive among the arguments and in their response files. When
// reading those objects and archives would take more than a bound (256 MiB in all), nothing is
// made, the arguments stay as given, and one problem says so.
Prepared prepareLink(const std::vector<std::string>& arguments, const std::filesystem::path& linkFolder,
                     const std::filesystem::path& sdkFolder);

// The SDK's library folder of an llvm-mingw whose bin folder is `mingwBin`.
std::filesystem::path sdkLibraryFolder(const std::filesystem::path& mingwBin);

} // namespace torvex::SDKLibraryLinks
