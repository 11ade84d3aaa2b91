#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Turns the MSVC-style arguments that Windows CMake projects pass to cl.exe and rc.exe into
// clang and windres arguments. Pure functions; the only file access is the caller's existence test.
namespace torvex::MSVCFlagTranslator {

struct Result {
    std::vector<std::string> arguments;      // translated, in input order, ready for clang
    std::vector<std::string> unknownDropped; // taken for MSVC flags but without a translation; never in `arguments`

    bool operator==(const Result&) const = default;
};

// The value of "-o" passes unchanged, and "-Werror" (not "-Werror=<name>") is dropped, as /WX is.
// Otherwise an argument that begins with "/", holds no other "/"
// and does not exist is an MSVC flag (see mapMSVCFlag; unknown ones go to `unknownDropped`); else a
// bare "name.lib" that does not begin with "-" and does not exist becomes "-lname"; else "-mwindows"
// also gets "-municode"; anything else passes unchanged.
// `fileExists` answers whether a file or folder is at a path (relative paths against the working folder).
Result translateCompilerArguments(const std::vector<std::string>& arguments,
                                  const std::function<bool(const std::string&)>& fileExists);

// On each line that ends, apart from trailing white space, with a quoted file name ending in ".ico",
// ".cur", ".bmp", ".png" or ".manifest" (any letter case), turns each doubled backslash into "/", as
// the resource compiler here reads file names; other lines and the line structure stay. Applying it
// twice gives what applying it once gives.
std::string translateResourceScript(std::string_view text);

// Escapes every double quote of a "-D" argument with a backslash (windres hands defines to its
// preprocessor through a shell); everything else passes unchanged. Same length and order.
std::vector<std::string> translateResourceCompilerArguments(const std::vector<std::string>& arguments);

// The clang arguments for one MSVC flag: an empty list for a known flag clang does not need,
// nothing for an unknown flag.
std::optional<std::vector<std::string>> mapMSVCFlag(std::string_view flag);

} // namespace torvex::MSVCFlagTranslator
