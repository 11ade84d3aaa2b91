#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace torvex::cc {

// The resource compiler's arguments with the script they name patched as staging patches the
// project's own scripts (MSVCFlagTranslator::translateResourceScript): a plugin's script is read
// from its own folder, which nothing may write, so the patched text goes to a private folder made
// beside the object file. The script's own folder comes first among the include folders, so that
// what it names relative to itself is still found, and a #line directive keeps error locations
// on the original script.
struct ResourceScriptCopy {
    std::vector<std::string> arguments;  // for the tool: the given ones, or ones naming the copy
    std::filesystem::path folder;        // the private folder of the copy; empty when none was made
    std::string problem;                 // why a script that needed the patch is passed as it is
};

// The given arguments unchanged when they name no resource script (an argument ending in ".rc"
// in any letter case that is no option and not the value of "-o"), when it needs no patch (the
// project's scripts, patched in staging) or cannot be read as UTF-8 text, or when no copy can be written.
ResourceScriptCopy copyPatchedResourceScript(const std::vector<std::string>& arguments);

// Removes the copy and its folder, if any.
void removeResourceScriptCopy(const ResourceScriptCopy& copy);

} // namespace torvex::cc
