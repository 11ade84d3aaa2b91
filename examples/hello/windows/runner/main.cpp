// The hello app's Windows runner: one window showing the Flutter view.
//
// --quit-after-ms=N closes the window N milliseconds after it opened (for unattended runs).

#include <flutter/dart_project.h>
#include <flutter/flutter_view_controller.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "flutter_window.h"
#include "utils.h"

namespace {

// Milliseconds after which to quit; 0 for never.
UINT QuitAfter(const std::vector<std::string>& arguments) {
  const std::string option = "--quit-after-ms=";
  for (const std::string& argument : arguments) {
    if (argument.rfind(option, 0) == 0) {
      return static_cast<UINT>(std::strtoul(argument.c_str() + option.size(), nullptr, 10));
    }
  }
  return 0;
}

}  // namespace

int APIENTRY wWinMain(_In_ HINSTANCE instance, _In_opt_ HINSTANCE previous, _In_ wchar_t* command_line,
                      _In_ int show_command) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show_command;
  // Output goes to the console the app was started from, or to a new one under a debugger.
  if (!::AttachConsole(ATTACH_PARENT_PROCESS) && ::IsDebuggerPresent()) CreateAndAttachConsole();
  std::printf("hello: runner started\n");
  std::fflush(stdout);

  // COM for the plugins that use it.
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  flutter::DartProject project(L"data");
  const std::vector<std::string> arguments = GetCommandLineArguments();
  project.set_dart_entrypoint_arguments(arguments);

  FlutterWindow window(project);
  if (!window.Create(L"hello", Win32Window::Point(10, 10), Win32Window::Size(1280, 720))) {
    std::fprintf(stderr, "hello: could not open a window (error %lu)\n", ::GetLastError());
    ::CoUninitialize();
    return EXIT_FAILURE;
  }
  window.SetQuitOnClose(true);
  if (const UINT quit_after = QuitAfter(arguments); quit_after > 0) {
    ::SetTimer(window.GetHandle(), 1, quit_after, nullptr);
  }

  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }

  ::CoUninitialize();
  return EXIT_SUCCESS;
}
