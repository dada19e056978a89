#include "shell/single_instance.h"

#include <windows.h>

#include "shell/win32_window.h"

namespace {
constexpr wchar_t kMutexName[] = L"Local\\tessarin.single-instance";
constexpr wchar_t kWindowTitle[] = L"tessarin";
}  // namespace

SingleInstanceLock::SingleInstanceLock() : mutex_(CreateMutexW(nullptr, FALSE, kMutexName)) {
  // Without a mutex at all nothing is known about other instances: start.
  first_ = !mutex_ || GetLastError() != ERROR_ALREADY_EXISTS;
}

void ActivateRunningInstance() {
  HWND window = FindWindowW(kWindowClassName, kWindowTitle);
  if (window == nullptr) return;  // still starting: it shows itself
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
}
