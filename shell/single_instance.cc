#include "shell/single_instance.h"

#include <windows.h>

#include "shell/win32_window.h"

// Owned by the first instance's main thread, so that a later start can wait
// for it: Windows hands it over (abandoned) when that process ends.
SingleInstanceLock::SingleInstanceLock() : mutex_(CreateMutexW(nullptr, TRUE, kMutexName)) {
  // Without a mutex at all nothing is known about other instances: start.
  first_ = !mutex_ || GetLastError() != ERROR_ALREADY_EXISTS;
}

SingleInstanceLock::~SingleInstanceLock() {
  if (mutex_ && first_) ReleaseMutex(mutex_.get());
}

bool SingleInstanceLock::WaitForPreviousToEnd(unsigned long timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    // A visible window is a running instance: it keeps the user's session.
    // One that is still starting shows itself soon; one that is closing
    // hides first and then ends.
    HWND window = FindWindowW(kWindowClassName, kWindowTitle);
    if (window != nullptr && IsWindowVisible(window)) {
      if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
      SetForegroundWindow(window);
      return false;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const DWORD slice = static_cast<DWORD>(deadline - now < 100 ? deadline - now : 100);
    const DWORD waited = WaitForSingleObject(mutex_.get(), slice);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      first_ = true;
      return true;
    }
  }
}
