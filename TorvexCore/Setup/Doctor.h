#pragma once

#include "SystemSource.h"
#include "Build/FlutterSDK.h"
#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Core/Platform/SystemFacts.h"

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace torvex {

// One finding of the doctor.
struct DoctorCheck {
    enum class Status { ok, warning, failed, info };

    std::string id;
    std::string title;
    Status status;
    std::string detail;                // one line
    std::optional<std::string> fix;    // none when there is nothing to do

    // "✓", "!", "✗" or "·".
    std::string_view symbol() const;

    bool operator==(const DoctorCheck&) const = default;
};

// Looks at everything the system needs and reports each finding as a check. Changes nothing and
// never throws: a problem is a check's status, or a check left out.
namespace Doctor {

// What the checks read besides the folders: the machine's facts, the process environment (whose
// HOME is the home folder), and where the distribution keeps the programs components link to.
struct Inputs {
    SystemFacts facts = currentSystemFacts();
    Environment environment = currentEnvironment();
    SystemLayout system{};
};

// The checks in their fixed order: "macos", "rosetta", "disk" (when the free space is known),
// "flutter", "custom-devices", "device", "component-<id>" per component, "prefix" (when Wine can be
// located) and "engine" (when `project` is given and resolves, with an SDK and its revision).
// `cli` is the running torvex, compared with the registered one; `flutterRoot` an SDK to prefer.
std::vector<DoctorCheck> run(const TorvexPaths& paths, const std::optional<std::string>& cli,
                             const std::optional<std::filesystem::path>& flutterRoot,
                             const std::optional<std::filesystem::path>& project, const Inputs& inputs = {},
                             std::stop_token stop = {});

bool hasFailures(const std::vector<DoctorCheck>& checks);

// The SDK the checks use: `flutterRoot` when it is one, else FlutterSDK::locate; none when neither.
std::optional<FlutterSDK> flutterSDK(const std::optional<std::filesystem::path>& flutterRoot,
                                     const Environment& environment);

} // namespace Doctor

} // namespace torvex
