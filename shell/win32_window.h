// The application's top-level window: class registration, DPI-scaled
// creation, message routing to a virtual handler, one child filling the
// client area, and a title bar that follows the light/dark app theme.
#ifndef TESSARIN_SHELL_WIN32_WINDOW_H_
#define TESSARIN_SHELL_WIN32_WINDOW_H_

#include <windows.h>

#include <string>

struct WindowPoint {
  int32_t x;
  int32_t y;
};

struct WindowSize {
  int32_t width;
  int32_t height;
};

constexpr wchar_t kWindowClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";

// Whether the window class is registered; made on first use, never freed.
struct WindowClassRegistry {
  bool registered = false;
};

class Win32Window {
 public:
  Win32Window();
  virtual ~Win32Window();
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Creates the window hidden, at |origin| and |size| in logical units scaled
  // by the DPI of the monitor nearest to |origin|.
  bool Create(const std::wstring& title, const WindowPoint& origin, const WindowSize& size);
  bool Show();
  void Destroy();
  void AttachChild(HWND child);
  void SetQuitWhenClosed(bool quitWhenClosed) { quitWhenClosed_ = quitWhenClosed; }
  RECT ClientArea() const;
  HWND NativeHandle() const { return window_; }

  static int LiveWindowCount() { return liveWindowCount_; }

  // DwmSetWindowAttribute by default; a test may record the call instead,
  // since Wine draws no dark title bar.
  using WindowAttributeSetter = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);
  static WindowAttributeSetter& SetWindowAttribute();

 protected:
  virtual LRESULT HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  virtual bool OnWindowCreated() { return true; }
  virtual void OnWindowDestroying() {}

 private:
  static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) noexcept;
  static LRESULT Dispatch(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static void EnableNonClientScaling(HWND window);
  static void ApplySystemTheme(HWND window);
  static WindowClassRegistry& Registry();

  bool quitWhenClosed_ = false;
  HWND window_ = nullptr;
  HWND child_ = nullptr;

  static int liveWindowCount_;
};

#endif  // TESSARIN_SHELL_WIN32_WINDOW_H_
