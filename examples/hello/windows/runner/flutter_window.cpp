#include "flutter_window.h"

#include <cstdio>
#include <optional>

#include "flutter/generated_plugin_registrant.h"

FlutterWindow::FlutterWindow(const flutter::DartProject& project) : project_(project) {}

FlutterWindow::~FlutterWindow() {}

bool FlutterWindow::OnCreate() {
  if (!Win32Window::OnCreate()) return false;

  const RECT frame = GetClientArea();
  flutter_controller_ =
      std::make_unique<flutter::FlutterViewController>(frame.right - frame.left, frame.bottom - frame.top, project_);
  if (!flutter_controller_->engine() || !flutter_controller_->view()) {
    std::fprintf(stderr, "hello: the Flutter engine could not start\n");
    return false;
  }
  RegisterPlugins(flutter_controller_->engine());
  SetChildContent(flutter_controller_->view()->GetNativeWindow());

  // The window appears with the first frame, so it never shows empty.
  flutter_controller_->engine()->SetNextFrameCallback([this]() {
    Show();
    std::printf("hello: window open\n");
    std::fflush(stdout);
  });
  flutter_controller_->ForceRedraw();
  return true;
}

void FlutterWindow::OnDestroy() {
  flutter_controller_ = nullptr;
  Win32Window::OnDestroy();
}

LRESULT FlutterWindow::MessageHandler(HWND window, UINT const message, WPARAM const wparam,
                                      LPARAM const lparam) noexcept {
  // The engine and the plugins see the window's messages first.
  if (flutter_controller_) {
    if (std::optional<LRESULT> result =
            flutter_controller_->HandleTopLevelWindowProc(window, message, wparam, lparam)) {
      return *result;
    }
  }
  switch (message) {
    case WM_FONTCHANGE:
      flutter_controller_->engine()->ReloadSystemFonts();
      break;
    case WM_TIMER:
      // --quit-after-ms ran out.
      ::DestroyWindow(window);
      return 0;
  }
  return Win32Window::MessageHandler(window, message, wparam, lparam);
}
