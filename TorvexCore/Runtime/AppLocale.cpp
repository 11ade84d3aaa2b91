#include "AppLocale.h"

#include "Core/LinkPlacement.h"

#include <locale.h>

namespace torvex {
namespace fs = std::filesystem;
namespace {

constexpr const char* utf8Locale = "C.UTF-8";

Environment named(const std::string& locale) {
    return {{"LANG", locale}, {"LC_ALL", locale}, {"LC_MESSAGES", locale}};
}

bool isFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// aliases/<name>, a link to `data`: made, or replaced in one step when it leads elsewhere.
bool placeAlias(const fs::path& aliases, const std::string& name, const fs::path& data) {
    try {
        ensureLink(data, aliases / name);
        return true;
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

} // namespace

bool LocaleSystem::hasSystemLocale(const std::string& name) {
    const locale_t locale = ::newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) return false;
    ::freelocale(locale);
    return true;
}

AppLocale AppLocale::forProfile(const Profile& profile, const fs::path& aliases, const LocaleSystem& system) {
    const std::string wanted = profile.posixLocale();
    if (system.has(wanted)) return {named(wanted), std::nullopt};

    const std::string generate = "Generate " + wanted + " for the full locale: `sudo apt-get install locales`, then "
                                 "`sudo dpkg-reconfigure locales`.";
    std::error_code error;
    for (const auto& data : system.utf8Data) {
        if (!isFileName(wanted) || !fs::is_regular_file(data / "LC_CTYPE", error)) continue;
        if (!placeAlias(aliases, wanted, data)) break;
        Environment variables = named(wanted);
        variables["LOCPATH"] = aliases.string();
        return {variables, "Torvex: this system has no locale " + wanted + "; the app runs in " + profile.locale +
                               " with C.UTF-8's characters. " + generate};
    }
    if (!system.has(utf8Locale))
        return {named(wanted), "Torvex: this system has no locale " + wanted + " and no " + utf8Locale +
                                   "; the app's paths may lose every character outside ASCII. " + generate};
    return {named(utf8Locale), "Torvex: this system has no locale " + wanted + "; the app runs in " + utf8Locale +
                                   " (English) instead. " + generate};
}

} // namespace torvex
