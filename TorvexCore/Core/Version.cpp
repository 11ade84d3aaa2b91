#include "Version.h"

#include "Platform/ProcessInfo.h"
#include "Platform/PropertyList.h"

namespace torvex::TorvexVersion {
namespace fs = std::filesystem;

const std::string& compiled() {
    static const std::string* value = new std::string(TORVEX_COMPILED_VERSION);
    return *value;
}

std::string forExecutable(const fs::path& executable) {
    std::error_code error;
    fs::path location = fs::canonical(executable, error);
    if (error) location = executable.lexically_normal();
    while (true) {
        const fs::path parent = location.parent_path();
        if (parent == location || parent == "/" || parent.empty()) return compiled();
        if (parent.extension() == ".app" && parent.filename() != ".app") {
            if (auto version = readPropertyListString(parent / "Contents" / "Info.plist",
                                                      "CFBundleShortVersionString")) {
                return *version;
            }
        }
        location = parent;
    }
}

const std::string& current() {
    static const std::string* value = [] {
        const auto executable = executablePath();
        return new std::string(executable ? forExecutable(*executable) : compiled());
    }();
    return *value;
}

} // namespace torvex::TorvexVersion
