#include "utils.h"

#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <iostream>

void CreateAndAttachConsole() {
  if (!::AllocConsole()) return;
  FILE* ignored = nullptr;
  if (freopen_s(&ignored, "CONOUT$", "w", stdout) != 0) _dup2(_fileno(stdout), 1);
  if (freopen_s(&ignored, "CONOUT$", "w", stderr) != 0) _dup2(_fileno(stdout), 2);
  std::ios::sync_with_stdio();
}

std::string Utf8FromUtf16(const wchar_t* text) {
  if (text == nullptr) return std::string();
  // The length includes the terminating NUL, which the string does not keep.
  const int length = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string utf8(static_cast<size_t>(length - 1), '\0');
  if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, utf8.data(), length, nullptr, nullptr) == 0) {
    return std::string();
  }
  return utf8;
}

std::vector<std::string> GetCommandLineArguments() {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> result;
  if (arguments == nullptr) return result;
  for (int i = 1; i < count; ++i) result.push_back(Utf8FromUtf16(arguments[i]));
  ::LocalFree(arguments);
  return result;
}
