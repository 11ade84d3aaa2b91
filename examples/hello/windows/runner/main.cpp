// The hello app's Windows runner: one window showing the Flutter view.
//
// --quit-after-ms=N closes the window after N milliseconds (for unattended runs).

#include <flutter/dart_project.h>
#include <flutter/flutter_engine.h>
#include <flutter/flutter_view_controller.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

#include "flutter/generated_plugin_registrant.h"
#include "resource.h"

namespace {

constexpr wchar_t kWindowClass[] = L"HELLO_RUNNER_WINDOW";

// The folder the executable lies in, without a trailing backslash.
std::wstring ExecutableFolder() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

// Milliseconds after which to quit; 0 for never.
UINT QuitAfter(const wchar_t* command_line) {
  constexpr wchar_t kOption[] = L"--quit-after-ms=";
  const wchar_t* option = std::wcsstr(command_line, kOption);
  return option == nullptr ? 0 : static_cast<UINT>(std::wcstoul(option + std::wcslen(kOption), nullptr, 10));
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int APIENTRY wWinMain(HINSTANCE instance, HINSTANCE, wchar_t* command_line, int show_command) {
  std::printf("hello: runner started\n");
  std::fflush(stdout);

  flutter::DartProject project(ExecutableFolder() + L"\\data");
  flutter::FlutterEngine engine(project);
  if (!engine.Run()) {
    std::fprintf(stderr, "hello: the Flutter engine could not start\n");
    return 1;
  }
  RegisterPlugins(&engine);

  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  window_class.lpszClassName = kWindowClass;
  RegisterClassW(&window_class);

  HWND window = CreateWindowExW(0, kWindowClass, L"hello", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 1280,
                                720, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    std::fprintf(stderr, "hello: could not open a window (error %lu)\n", GetLastError());
    return 1;
  }
  auto view = std::make_unique<flutter::FlutterViewController>(window, 1280, 720, engine);
  ShowWindow(window, show_command);
  std::printf("hello: window open\n");
  std::fflush(stdout);

  if (UINT quit_after = QuitAfter(command_line); quit_after > 0) SetTimer(window, 1, quit_after, nullptr);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  view.reset();
  return 0;
}
