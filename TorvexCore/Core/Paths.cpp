#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

namespace torvex {
namespace fs = std::filesystem;

namespace {

fs::path root(const Environment& environment, const char* variable, const fs::path& home,
              const char* defaultRelative, const fs::path& workingFolder) {
    if (const auto value = nonEmptyValue(environment, variable)) {
        const fs::path given(*value);
        return given.is_absolute() ? given : workingFolder / given;
    }
    return home / defaultRelative;
}

} // namespace

TorvexPaths TorvexPaths::resolve(const Environment& environment, const fs::path& home,
                                 const fs::path& workingFolder) {
    return TorvexPaths{
        root(environment, "TORVEX_SUPPORT_DIR", home, "Library/Application Support/Torvex", workingFolder),
        root(environment, "TORVEX_CACHES_DIR", home, "Library/Caches/Torvex", workingFolder),
        root(environment, "TORVEX_LOGS_DIR", home, "Library/Logs/Torvex", workingFolder),
    };
}

const TorvexPaths& TorvexPaths::defaultPaths() {
    static const TorvexPaths* paths = [] {
        std::error_code error;
        fs::path working = fs::current_path(error);
        if (error) working = "/";
        return new TorvexPaths(resolve(currentEnvironment(), homeFolder(), working));
    }();
    return *paths;
}

namespace {

fs::path passwordDatabaseHome() {
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

} // namespace

fs::path homeFolder() {
    if (const char* home = ::getenv("HOME"); home != nullptr && *home != '\0') return home;
    return passwordDatabaseHome();
}

fs::path homeFolder(const Environment& environment) {
    if (const auto home = nonEmptyValue(environment, "HOME")) return *home;
    return passwordDatabaseHome();
}

} // namespace torvex
