#pragma once

#include "EngineArtifacts.h"
#include "FlutterSDK.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace torvex {

// The app's debug Dart bundle in a work folder, with the engine's core snapshots in it.
namespace DartBundle {

// Receives each line for the user; may be called from any thread.
using Emit = std::function<void(const std::string&)>;

// <work folder>/build/flutter_assets
std::filesystem::path folder(const std::filesystem::path& workFolder);

// Builds the bundle with the SDK's `flutter` in `projectRoot`, or mirrors `givenBundle` when there
// is one, into folder(workFolder); then replaces the two core snapshots from `engine`.
void prepare(const FlutterSDK& sdk, const std::filesystem::path& projectRoot, const std::filesystem::path& workFolder,
             const std::optional<std::filesystem::path>& givenBundle, const EngineArtifacts& engine, const Emit& emit,
             std::stop_token stop = {});

// `flutter build bundle --debug --target-platform=linux-x64 --asset-dir=<into>`, run in `projectRoot`.
// On failure its output is emitted and a buildFailed error thrown.
void build(const FlutterSDK& sdk, const std::filesystem::path& projectRoot, const std::filesystem::path& into,
           const Emit& emit, std::stop_token stop = {});

// Copies the engine's snapshots over the bundle's isolate_snapshot_data and vm_snapshot_data,
// writing only what differs.
void replaceCoreSnapshots(const std::filesystem::path& bundle, const EngineArtifacts& engine);

} // namespace DartBundle

} // namespace torvex
