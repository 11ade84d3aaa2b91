#pragma once

#include "Components.h"
#include "SystemSource.h"
#include "Core/Paths.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// Turns component records into installed tools under the support folder. A component this platform
// provides is assembled from the distribution's packages; any other is downloaded from its address,
// checked against its SHA-256, unpacked with bsdtar, and its item moved into place. Both go
// through a private work folder caches/downloads/<id>-<8 hex digits>, removed at the end; the old
// copy at the destination is replaced only once the new one is complete, so a failed or cancelled
// install leaves it as it was.
struct ComponentInstaller {
    struct Progress {
        enum class Phase { downloading, verifying, installing, done };

        Component component;
        Phase phase;
        double fraction;  // 0...1
    };
    // Called on the installer's thread; an exception it throws ends the install.
    using ProgressHandler = std::function<void(const Progress&)>;

    TorvexPaths paths;
    SystemLayout system{};
    std::chrono::seconds stallLimit{60};  // a download that moves no byte this long fails

    // Installs each component of the list that is not installed and can be, in order, stopping at
    // the first error; installed and unavailable ones are passed by without a report.
    void install(const std::vector<Component>& components, const ProgressHandler& progress,
                 std::stop_token stop = {}) const;
    // Installs the component whether or not it is installed. Reports, in order: a download's
    // downloading 0 and its fractions and verifying 1 (downloads only), installing 1, done 1.
    // Errors are TorvexErrors of kind generic; file-system errors pass unchanged; a stop request
    // throws Cancelled.
    void install(const Component& component, const ProgressHandler& progress, std::stop_token stop = {}) const;

    // The file's SHA-256 as 64 lowercase hexadecimal digits, read in 4 MiB pieces.
    static std::string sha256(const std::filesystem::path& file);
};

// "downloading", "verifying", "installing", "done".
std::string_view rawValue(ComponentInstaller::Progress::Phase phase);

} // namespace torvex
