#pragma once

#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Core/Platform/ProcessTree.h"
#include "Core/Profile.h"

#include <array>
#include <cstdint>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace torvex {

// What a user-chosen name is used for; it decides the wording of the error that refuses it.
enum class NameRole { profileID, appName };

// Why `value` could not be one folder name and one `cmd /c` argument, such as "holds '&'": it is
// "", "." or "..", holds "/", "\", a control character (NUL included) or one of & | < > ^ % " ; , = ( * ?,
// or ends with ".". Empty when it can.
std::string unusableNameProblem(std::string_view value);

// Refuses a profile id or app name that unusableNameProblem finds fault with. The error is a usage
// error that names the value. Touches nothing.
void requireUsableName(std::string_view value, NameRole role);

// The Wine build that runs the user's apps, the Wine prefix of one display profile, and the DXVK
// DLLs when Direct3D is to go through them. A plain value: found afresh by locate() each time.
struct WineEnvironment {
    std::filesystem::path bin;                  // holds wine, wineboot and wineserver
    std::filesystem::path prefix;               // support/"prefixes"/<profile id>; may not exist yet
    std::optional<std::filesystem::path> dxvk;  // DXVK's 64-bit DLLs; none when missing, incomplete or off

    // The DXVK files every app folder gets, in this order.
    static constexpr std::array<std::string_view, 2> dxvkDLLs{"d3d11.dll", "d3d10core.dll"};

    std::filesystem::path wine() const { return bin / "wine"; }
    std::filesystem::path wineboot() const { return bin / "wineboot"; }
    std::filesystem::path wineserver() const { return bin / "wineserver"; }
    // What Windows programs see as drive C:.
    std::filesystem::path driveC() const { return prefix / "drive_c"; }

    // The Wine build: TORVEX_WINE_BIN when present in `environment` (even empty), else the first
    // bundle of the greatest version folder under support/"wine" whose wine is executable. DXVK: the
    // greatest version folder under support/"dxvk", when its x64 folder holds both DLLs and
    // TORVEX_D3D is not "wined3d". Only looks; creates nothing. Throws "Wine is not installed.",
    // or a usage error for a profile id that requireUsableName refuses.
    static WineEnvironment locate(const TorvexPaths& paths, const std::string& profile, const Environment& environment);

    // The variables a Wine process gets over its inherited environment: WINEPREFIX, WINEDEBUG
    // (the process's own when present there, even empty; else "-all"), WINEDLLOVERRIDES,
    // DXVK_LOG_LEVEL and MVK_CONFIG_LOG_LEVEL, with `extra` laid over them.
    Environment environment(const Environment& extra = {}) const;
    // The same with `processEnvironment` standing in for this process's environment.
    Environment environment(const Environment& extra, const Environment& processEnvironment) const;

    // "C:\Torvex\Apps\Demo\demo.exe" for <prefix>/drive_c/Torvex/Apps/Demo/demo.exe. The file is
    // assumed to lie under driveC(); that is not checked.
    std::string windowsPath(const std::filesystem::path& fileUnderDriveC) const;

    // Prefix preparation. Every Wine program runs through ProcessRunner::shared() with
    // environment() and no time-out; the registry writes discard their output, which the Wine
    // server and services they may start would otherwise hold open. A stop request ends the
    // running program and throws Cancelled; a program that cannot start throws ProcessRunner's error.

    // Whether a preparation completed (the marker prefix/"torvex-ready") and its registry
    // (system.reg, user.reg) is still there.
    bool isInitialized() const;
    // Prepares the prefix unless it is initialised: one progress line, the folder, a killAll of
    // what an earlier preparation left running, the markers and Wine's .update-timestamp removed
    // (so that Wine installs the prefix in full), `wineboot --init`, `wineserver -w`, and the marker
    // "torvex-ready" last. Throws "Could not create the Windows environment." when wineboot fails or
    // leaves no registry; the folder's own creation errors pass through. A stopped preparation ends
    // every Wine process of the prefix before it throws Cancelled, and is not ready.
    void ensurePrefix(const std::function<void(const std::string&)>& progress, std::stop_token stop = {}) const;
    // Ends every Wine process of the prefix (`wineserver -k`), waits for its server to exit, and
    // kills what still runs in the prefix without it.
    void killAll(std::stop_token stop = {}) const;
    // The prefix's Wine server as the process table shows it now (a process of this user whose
    // WINEPREFIX is exactly this prefix and whose program is Wine's server); none when none runs.
    std::optional<ProcessIdentity> runningServer() const;
    // killAll that nothing stops and that never throws (a failure is logged): the cleanup after a
    // run or a failed step.
    void killAllQuietly() const noexcept;
    // Starts the prefix's Wine server with its output discarded, unless one runs, to stay
    // `serverLinger` after its last program ends (one that a Wine program starts leaves at once):
    // the server and the services a settings step starts are still there when an app starts,
    // however slow the machine, so the app starts none that would hold its output. killAll ends it.
    static constexpr std::chrono::seconds serverLinger{60};
    void startServer(std::stop_token stop = {}) const;
    // Writes LogPixels, then killAll, then the marker prefix/"torvex-dpi", unless the marker already
    // holds exactly this DPI.
    void applyDPI(std::int64_t dpi, std::stop_token stop = {}) const;
    // Writes AppsUseLightTheme and SystemUsesLightTheme (1 light, 0 dark), every time, in one
    // `wine reg import` of drive_c/Torvex/torvex-theme.reg.
    void applyTheme(Profile::Theme theme, std::stop_token stop = {}) const;

    bool operator==(const WineEnvironment&) const = default;
};

} // namespace torvex
