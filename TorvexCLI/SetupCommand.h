#pragma once

#include "Core/Environment.h"
#include "Core/Platform/SystemFacts.h"
#include "Core/TorvexError.h"
#include "Setup/ComponentInstaller.h"

#include <optional>
#include <string>
#include <string_view>

namespace torvex::cli {

// What setup writes for one progress report of the installer: `inPlace` bytes (starting with a
// carriage return, so the text replaces the previous one), then `line` as a whole line, if any.
// Changing texts appear only on a terminal; the done line always does.
struct SetupProgressOutput {
    std::string inPlace;
    std::optional<std::string> line;

    bool operator==(const SetupProgressOutput&) const = default;
};

// `version` is the component's version as shown; only the done line uses it.
SetupProgressOutput setupProgressOutput(const ComponentInstaller::Progress& progress, std::string_view version,
                                        bool terminal);

// Why this machine cannot run Windows x64 apps; none when it can.
std::optional<TorvexError> processorProblem(const SystemFacts& facts);

// The command that puts ~/.local/bin on the PATH of the user's shell (SHELL's last component):
// fish's own fish_add_path, else an export line appended to ~/.bashrc for bash, ~/.zshrc for zsh,
// ~/.profile otherwise.
std::string pathHint(const Environment& environment);

} // namespace torvex::cli
