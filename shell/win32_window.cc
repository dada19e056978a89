#include "shell/win32_window.h"

#include <dwmapi.h>

#include <cwchar>

#include "channel/diagnostics.h"
#include "engine_api/flutter_windows.h"
#include "shell/resources/resource.h"

namespace {

constexpr wchar_t kThemeKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr DWORD kImmersiveDarkMode = 20;  // DWMWA_USE_IMMERSIVE_DARK_MODE
constexpr int kIconResource = IDI_APP_ICON;

}  // namespace

int Win32Window::liveWindowCount_ = 0;

Win32Window::Win32Window() { ++liveWindowCount_; }

Win32Window::~Win32Window() {
  --liveWindowCount_;
  Destroy();
}

WindowClassRegistry& Win32Window::Registry() {
  static WindowClassRegistry* registry = new WindowClassRegistry();
  return *registry;
}

Win32Window::WindowAttributeSetter& Win32Window::SetWindowAttribute() {
  static WindowAttributeSetter setter = &DwmSetWindowAttribute;
  return setter;
}

bool Win32Window::Create(const std::wstring& title, const WindowPoint& origin,
                         const WindowSize& size) {
  Destroy();
  WindowClassRegistry& registry = Registry();
  if (!registry.registered) {
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = StaticWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hIcon = LoadIconW(windowClass.hInstance, MAKEINTRESOURCEW(kIconResource));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassW(&windowClass);
    registry.registered = true;
  }
  HMONITOR monitor = MonitorFromPoint(POINT{origin.x, origin.y}, MONITOR_DEFAULTTONEAREST);
  const double scale = FlutterDesktopGetDpiForMonitor(monitor) / 96.0;
  auto scaled = [scale](int32_t value) { return static_cast<int>(value * scale); };
  HWND window = CreateWindowExW(
      0, kWindowClassName, title.c_str(), WS_OVERLAPPEDWINDOW, scaled(origin.x), scaled(origin.y),
      scaled(size.width), scaled(size.height), nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (window == nullptr) return false;
  ApplySystemTheme(window);
  return OnWindowCreated();
}

bool Win32Window::Show() { return ShowWindow(window_, SW_SHOWNORMAL) != 0; }

void Win32Window::Destroy() {
  OnWindowDestroying();
  if (window_ != nullptr) {
    HWND window = window_;
    window_ = nullptr;
    DestroyWindow(window);
  }
  if (liveWindowCount_ == 0) {
    UnregisterClassW(kWindowClassName, nullptr);
    Registry().registered = false;
  }
}

void Win32Window::AttachChild(HWND child) {
  child_ = child;
  SetParent(child, window_);
  const RECT area = ClientArea();
  MoveWindow(child, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
  SetFocus(child);
}

RECT Win32Window::ClientArea() const {
  RECT area = {};
  GetClientRect(window_, &area);
  return area;
}

LRESULT CALLBACK Win32Window::StaticWindowProc(HWND window, UINT message, WPARAM wparam,
                                               LPARAM lparam) noexcept {
  // Called by Windows, a C frame: nothing may escape. A message whose
  // handling threw is reported and gets the default handling.
  LRESULT result = 0;
  if (flutter::RunAtBoundary("Exception in a window procedure: ",
                             [&] { result = Dispatch(window, message, wparam, lparam); })) {
    return result;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT Win32Window::Dispatch(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self =
        static_cast<Win32Window*>(reinterpret_cast<const CREATESTRUCTW*>(lparam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    EnableNonClientScaling(window);
    self->window_ = window;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  return self->HandleWindowMessage(window, message, wparam, lparam);
}

void Win32Window::EnableNonClientScaling(HWND window) {
  // Looked up at run time: older systems lack it, and then nothing is done.
  HMODULE user32 = LoadLibraryA("User32.dll");
  if (user32 == nullptr) return;
  using EnableFn = BOOL(WINAPI*)(HWND);
  auto enable = reinterpret_cast<EnableFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "EnableNonClientDpiScaling")));
  if (enable != nullptr) enable(window);
  FreeLibrary(user32);
}

void Win32Window::ApplySystemTheme(HWND window) {
  DWORD lightTheme = 0;
  DWORD size = sizeof(lightTheme);
  if (RegGetValueW(HKEY_CURRENT_USER, kThemeKey, L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr,
                   &lightTheme, &size) != ERROR_SUCCESS) {
    return;
  }
  const BOOL dark = lightTheme == 0 ? TRUE : FALSE;
  SetWindowAttribute()(window, kImmersiveDarkMode, &dark, sizeof(dark));
}

LRESULT Win32Window::HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      window_ = nullptr;
      // Whatever the clean-up throws, the message loop still ends.
      flutter::RunAtBoundary("Exception while the window closes: ", [&] { Destroy(); });
      if (quitWhenClosed_) PostQuitMessage(0);
      return 0;
    case WM_SIZE: {
      const RECT area = ClientArea();
      if (child_ != nullptr) {
        MoveWindow(child_, area.left, area.top, area.right - area.left, area.bottom - area.top,
                   TRUE);
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (child_ != nullptr) SetFocus(child_);
      return 0;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_DWMCOLORIZATIONCOLORCHANGED:
      ApplySystemTheme(window);
      return 0;
    case WM_SETTINGCHANGE:
      // The apps' light/dark choice is announced under this name.
      if (lparam != 0 &&
          std::wcscmp(reinterpret_cast<const wchar_t*>(lparam), L"ImmersiveColorSet") == 0) {
        ApplySystemTheme(window);
      }
      return DefWindowProcW(window, message, wparam, lparam);
    default:
      return DefWindowProcW(window_, message, wparam, lparam);
  }
}
