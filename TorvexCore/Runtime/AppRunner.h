#pragma once

#include "AppLocale.h"
#include "InstalledApp.h"
#include "WindowsHelper.h"
#include "WineEnvironment.h"
#include "Core/Environment.h"
#include "Core/ProcessRunner.h"
#include "Core/Profile.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// Runs an installed app under Wine with a display profile: prepares the prefix, starts the app
// with its engine switches and locale, streams its lines, gives its window the profile's size,
// and ends every Wine process of the prefix once it has ended. Keeps no state between runs; one
// value may run several apps at once.
struct AppRunner {
    WineEnvironment wine;
    Profile profile;                      // dpi, width, height, theme and locale are used
    std::optional<WindowsHelper> helper;  // none: the window keeps its own size
    // The window-size loop: at most this many resize tries, this far apart.
    int resizeTries = 120;
    std::chrono::milliseconds resizeInterval{500};
    // How often the prefix's Wine server is looked for while the app runs, and once found, looked at.
    std::chrono::milliseconds serverCheckInterval{500};
    // Which locales this system has, for the app's locale (AppLocale).
    LocaleSystem locales{};

    // The Flutter tool's engine options as switches without their dashes, in order: the text split
    // at every " --" (no quoting), pieces trimmed of spaces and tabs, one leading "--" dropped,
    // empty pieces dropped; "enable-impeller=false" appended unless a piece starts with
    // "enable-impeller".
    static std::vector<std::string> engineSwitches(std::string_view fromToolOptions);

    // FLUTTER_ENGINE_SWITCHES (the count), FLUTTER_ENGINE_SWITCH_1… (the switches), and LANG,
    // LC_ALL and LC_MESSAGES (the profile's POSIX locale).
    Environment appEnvironment(const std::vector<std::string>& engineSwitches) const;

    // Prepares the prefix (ensurePrefix, killAll, applyDPI, applyTheme), runs
    // `wine cmd /c C:\Torvex\Apps\<name>\<binary>.exe` in the app's folder with appEnvironment over
    // the Wine environment (its locale as AppLocale makes it work on this system, with the links it
    // needs in <prefix>/torvex-locales), hands every line to `onLine` as it comes (from several
    // threads at once; "Torvex: " lines on standard error come first: no X display, a new prefix,
    // a locale this system lacks), resizes
    // the window meanwhile, and once the app has ended runs a killAll that nothing cancels. A Wine
    // server of the prefix that ends while the app runs ends the run as a stop request does, after a
    // "Torvex: " line saying so: the app's Wine processes would otherwise wait for it for ever.
    // Answers the app's exit code (128 + signal when a signal ended it). A stop request ends the
    // app and still answers its code; during preparation it throws Cancelled after a killAll.
    // Preparation errors and the app's start error pass through (no killAll after a start error).
    // Throws before anything starts when the binary name could not be a `cmd /c` argument.
    std::int32_t run(const InstalledApp& app, const std::vector<std::string>& engineSwitches, LineHandler onLine,
                     std::stop_token stop = {}) const;

    // Runs the helper's "resize <width> <height>" until it exits 0, at most resizeTries times with
    // resizeInterval between tries (a stop request ends the wait and the loop). Without a helper it
    // returns at once. Never throws.
    void applyWindowSizeWhenReady(std::stop_token stop = {}) const;

private:
    // Finds the prefix's Wine server once it runs, and once it has ended tells `onLine` and stops
    // `end`. Returns on `own`'s stop. Never throws.
    void watchWineServer(const InstalledApp& app, const LineHandler& onLine, std::stop_source end,
                         std::stop_token own) const;
};

} // namespace torvex
