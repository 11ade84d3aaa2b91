#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace torvex::host {

// Saves a screenshot's PNG bytes in `folder` (made when missing) as
// "Torvex Screenshot <YYYY-MM-DD> at <HH.MM.SS>.png" in local time, or with " 2", " 3"… before
// ".png" when that name is taken; never replaces a file or follows a link. Answers the file's path.
// Throws a TorvexError when the folder or file cannot be made or written; no partial file is left.
std::filesystem::path saveScreenshot(const std::string& png, const std::filesystem::path& folder,
                                     std::chrono::system_clock::time_point taken);

} // namespace torvex::host
