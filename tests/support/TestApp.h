#pragma once

#include "Core/Paths.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace torvex::testing {

// The test app of tests/fixtures/test-app, a small Windows program in C built with the
// llvm-mingw-shaped folder that scripts/local-llvm-mingw assembles. It prints one "key=value"
// line each (CRLF line ends under Wine):
//   locale=<the user's default locale name>        logpixelsx=<GetDeviceCaps(LOGPIXELSX)>
//   AppsUseLightTheme=<0, 1 or missing>             d3d11=<stub, system or missing>
//   FLUTTER_ENGINE_SWITCH...=<value> for every such variable, in the environment's order
// then a Dart VM service line. With the engine switch quit-after-ms=<N> it opens a Flutter-runner
// window for N ms, painted in four quadrants (quadrantColours), and reports its sizes and theme
// messages (the file's header lists them). It exits with the code given as its first argument,
// else the engine switch exit-code=<N>, else 0. "d3d11=stub" means the d3d11.dll it loaded is the
// stub that buildStubDXVK makes.
namespace TestApp {

// The window's colours as RGB: top left, top right, bottom left, bottom right.
inline constexpr unsigned char quadrantColours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};

// Why the app cannot be built on this machine, or none when it can.
std::optional<std::string> missingTool();

// The llvm-mingw folder assembled under `work` (reused when already there).
std::filesystem::path mingwRoot(const std::filesystem::path& work);

// Builds the app as `exe`, assembling the toolchain in `work` first.
void build(const std::filesystem::path& exe, const std::filesystem::path& work);

// A Flutter-shaped project "test_app" at `project` whose Windows build output under `paths` is the
// test app, as test_app.exe; answers `project`.
std::filesystem::path buildProject(const std::filesystem::path& project, const TorvexPaths& paths,
                                   const std::filesystem::path& work);

// Writes a DXVK-shaped folder `x64` holding stub d3d11.dll and d3d10core.dll that export
// TorvexStubMarker, built with the toolchain in `work`.
void buildStubDXVK(const std::filesystem::path& x64, const std::filesystem::path& work);

// The "key=value" lines of the app's output, carriage returns dropped.
std::map<std::string, std::string> report(const std::string& output);

} // namespace TestApp

} // namespace torvex::testing
