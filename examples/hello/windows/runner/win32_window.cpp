#include "win32_window.h"

#include <dwmapi.h>
#include <shellscalingapi.h>

#include "resource.h"

// Windows 11 SDKs name it; older headers do not.
#ifndef DWMWA_USE_IMMERSIVE_DARK_MODE
#define DWMWA_USE_IMMERSIVE_DARK_MODE 20
#endif

namespace {

constexpr const wchar_t kWindowClass[] = L"HELLO_RUNNER_WINDOW";

// Registered on first use, unregistered when the last window goes.
int g_open_windows = 0;

const wchar_t* WindowClass(WNDPROC procedure) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSW window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.hIcon = ::LoadIconW(window_class.hInstance, MAKEINTRESOURCEW(IDI_APP_ICON));
    window_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    window_class.lpszClassName = kWindowClass;
    registered = ::RegisterClassW(&window_class) != 0;
  }
  return kWindowClass;
}

void ForgetWindowClass() { ::UnregisterClassW(kWindowClass, ::GetModuleHandleW(nullptr)); }

// The DPI of the monitor nearest to `point`; 96 when it cannot be told.
UINT DpiAt(POINT point) {
  UINT x = 96;
  UINT y = 96;
  HMONITOR monitor = ::MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST);
  if (FAILED(::GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &x, &y))) return 96;
  return x;
}

// Logical pixels to physical ones on a monitor of `dpi` dots per inch.
int Scaled(unsigned int logical, UINT dpi) { return ::MulDiv(static_cast<int>(logical), static_cast<int>(dpi), 96); }

// The light theme setting of apps; true when it cannot be read.
bool AppsUseLightTheme() {
  DWORD light = 1;
  DWORD size = sizeof light;
  const LSTATUS status =
      ::RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                     L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &light, &size);
  return status != ERROR_SUCCESS || light != 0;
}

}  // namespace

Win32Window::Win32Window() { ++g_open_windows; }

Win32Window::~Win32Window() {
  Destroy();
  if (--g_open_windows == 0) ForgetWindowClass();
}

bool Win32Window::Create(const std::wstring& title, const Point& origin, const Size& size) {
  Destroy();
  const UINT dpi = DpiAt({static_cast<LONG>(origin.x), static_cast<LONG>(origin.y)});
  HWND window = ::CreateWindowExW(0, WindowClass(WindowProc), title.c_str(), WS_OVERLAPPEDWINDOW, Scaled(origin.x, dpi),
                                  Scaled(origin.y, dpi), Scaled(size.width, dpi), Scaled(size.height, dpi), nullptr,
                                  nullptr, ::GetModuleHandleW(nullptr), this);
  if (window == nullptr) return false;
  UpdateTheme();
  return OnCreate();
}

bool Win32Window::Show() { return ::ShowWindow(window_, SW_SHOWNORMAL); }

void Win32Window::Destroy() {
  OnDestroy();
  if (window_ != nullptr) {
    HWND window = window_;
    window_ = nullptr;
    ::DestroyWindow(window);
  }
}

void Win32Window::SetChildContent(HWND content) {
  child_content_ = content;
  ::SetParent(content, window_);
  const RECT frame = GetClientArea();
  ::MoveWindow(content, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top, TRUE);
  ::SetFocus(child_content_);
}

RECT Win32Window::GetClientArea() const {
  RECT frame = {};
  ::GetClientRect(window_, &frame);
  return frame;
}

bool Win32Window::OnCreate() { return true; }

void Win32Window::OnDestroy() {}

LRESULT CALLBACK Win32Window::WindowProc(HWND const window, UINT const message, WPARAM const wparam,
                                         LPARAM const lparam) noexcept {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    auto* self = static_cast<Win32Window*>(create->lpCreateParams);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
    ::EnableNonClientDpiScaling(window);
  } else if (Win32Window* self = FromHandle(window)) {
    return self->MessageHandler(window, message, wparam, lparam);
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

Win32Window* Win32Window::FromHandle(HWND window) {
  return reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT Win32Window::MessageHandler(HWND window, UINT const message, WPARAM const wparam,
                                    LPARAM const lparam) noexcept {
  switch (message) {
    case WM_DESTROY:
      child_content_ = nullptr;
      window_ = nullptr;
      ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      if (quit_on_close_) ::PostQuitMessage(0);
      return 0;

    case WM_DPICHANGED: {
      // Windows suggests the new frame; take it.
      const auto* frame = reinterpret_cast<RECT*>(lparam);
      ::SetWindowPos(window, nullptr, frame->left, frame->top, frame->right - frame->left,
                     frame->bottom - frame->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }

    case WM_SIZE:
      if (child_content_ != nullptr) {
        const RECT frame = GetClientArea();
        ::MoveWindow(child_content_, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                     TRUE);
      }
      return 0;

    case WM_ACTIVATE:
      if (child_content_ != nullptr) ::SetFocus(child_content_);
      return 0;

    case WM_DWMCOLORIZATIONCOLORCHANGED:
      UpdateTheme();
      return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

void Win32Window::UpdateTheme() {
  const BOOL dark = AppsUseLightTheme() ? FALSE : TRUE;
  ::DwmSetWindowAttribute(window_, DWMWA_USE_IMMERSIVE_DARK_MODE, &dark, sizeof dark);
}
