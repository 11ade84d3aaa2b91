#pragma once

#include "FlutterSDK.h"
#include "Core/Environment.h"
#include "Core/Paths.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>

namespace torvex {

// The Flutter Windows engine (x64 debug) of one engine revision, cached under support/"engine".
struct EngineArtifacts {
    std::string revision;
    std::filesystem::path directory;

    static constexpr const char* isolateSnapshot = "isolate_snapshot.bin";
    static constexpr const char* vmSnapshot = "vm_isolate_snapshot.bin";
    // The engine files that go into a project's flutter/ephemeral folder, in order.
    static const std::array<const char*, 9> ephemeralFiles;

    // Called with each progress text; may be called from any thread.
    using Progress = std::function<void(const std::string&)>;

    // A download that moves no byte for this long (or cannot connect in it) is abandoned.
    static constexpr std::chrono::seconds defaultStallTimeout{60};

    // The complete cache folder of the SDK's engine revision, downloaded and unpacked when missing.
    // Each archive is unpacked into a fresh folder of its own and refused when it holds a link, a
    // member outside its folder, or more than ZipUnpacker allows (ZipUnpacker::unpack).
    static EngineArtifacts ensure(const FlutterSDK& sdk, const TorvexPaths& paths, const Environment& environment,
                                  const Progress& progress, std::stop_token stop = {},
                                  std::chrono::seconds stallTimeout = defaultStallTimeout);

    // The artifact store's base address (FLUTTER_STORAGE_BASE_URL without trailing slashes, or the
    // public store), with the realm appended when not empty.
    static std::string storageBaseURL(const std::string& realm, const Environment& environment);

    // Every path of the completeness list exists below `directory`.
    bool isComplete() const;
    std::filesystem::path file(const std::string& name) const { return directory / name; }
    std::filesystem::path cppClientWrapper() const { return directory / "cpp_client_wrapper"; }
};

} // namespace torvex
