#pragma once

#include <optional>
#include <string>

namespace torvex {

// Text edits made to the staged copy of a project's Windows sources so that the Flutter template
// and the engine's client wrapper build with clang and llvm-mingw. Each takes and returns a whole file.
namespace StagingPatches {

// Removes the explicit templated EncodableValue constructor (so std::variant's applies, as with
// MSVC) and leaves a comment line in its place; text without it comes back unchanged.
std::string patchEncodableValue(const std::string& text);

// Turns the tool_backend.bat call of flutter/CMakeLists.txt (either layout: platform given as
// ${FLUTTER_TARGET_PLATFORM} or, before Flutter 3.16, as windows-x64) into a command that does
// nothing and drops the lines holding only ${PHONY_OUTPUT}. Throws TorvexError (unsupported) when
// the call is missing.
std::string neutraliseAssemble(const std::string& text);

// On lines naming a quoted icon, cursor, bitmap, PNG or manifest file, turns each "\\" into "/";
// with a manifest name, appends a line embedding it unless the script already declares one.
std::string patchResourceScript(const std::string& text, const std::optional<std::string>& embedManifest);

} // namespace StagingPatches

} // namespace torvex
