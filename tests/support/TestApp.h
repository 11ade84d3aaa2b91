#pragma once

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
// and exits with the code given as its first argument (0 without one). "d3d11=stub" means the
// d3d11.dll it loaded is the stub that buildStubDXVK makes.
namespace TestApp {

// Why the app cannot be built on this machine, or none when it can.
std::optional<std::string> missingTool();

// Builds the app as `exe`, assembling the toolchain in `work` first (reused when already there).
void build(const std::filesystem::path& exe, const std::filesystem::path& work);

// Writes a DXVK-shaped folder `x64` holding stub d3d11.dll and d3d10core.dll that export
// TorvexStubMarker, built with the toolchain in `work`.
void buildStubDXVK(const std::filesystem::path& x64, const std::filesystem::path& work);

// The "key=value" lines of the app's output, carriage returns dropped.
std::map<std::string, std::string> report(const std::string& output);

} // namespace TestApp

} // namespace torvex::testing
