#ifndef RUNNER_WIN32_WINDOW_H_
#define RUNNER_WIN32_WINDOW_H_

#include <windows.h>

#include <string>

// A top-level window sized in logical pixels for the monitor it opens on, with one child that
// fills it. Subclasses see its messages through MessageHandler.
class Win32Window {
 public:
  struct Point {
    Point(unsigned int x, unsigned int y) : x(x), y(y) {}
    unsigned int x;
    unsigned int y;
  };

  struct Size {
    Size(unsigned int width, unsigned int height) : width(width), height(height) {}
    unsigned int width;
    unsigned int height;
  };

  Win32Window();
  virtual ~Win32Window();
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Opens the window hidden, at `origin` with `size` (logical pixels); false when it could not.
  bool Create(const std::wstring& title, const Point& origin, const Size& size);
  bool Show();
  void Destroy();

  // Makes `content` the child that fills the client area.
  void SetChildContent(HWND content);

  HWND GetHandle() const { return window_; }

  // Whether closing the window ends the message loop.
  void SetQuitOnClose(bool quit_on_close) { quit_on_close_ = quit_on_close; }

  RECT GetClientArea() const;

 protected:
  virtual LRESULT MessageHandler(HWND window, UINT const message, WPARAM const wparam, LPARAM const lparam) noexcept;

  // After the window was made; false aborts Create.
  virtual bool OnCreate();
  virtual void OnDestroy();

 private:
  static LRESULT CALLBACK WindowProc(HWND const window, UINT const message, WPARAM const wparam,
                                     LPARAM const lparam) noexcept;
  static Win32Window* FromHandle(HWND window);

  // Follows the system's light or dark app theme in the title bar.
  void UpdateTheme();

  bool quit_on_close_ = false;
  HWND window_ = nullptr;
  HWND child_content_ = nullptr;
};

#endif  // RUNNER_WIN32_WINDOW_H_
