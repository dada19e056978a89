#include "shell/single_instance.h"

#include <cstdint>

namespace {

struct Published {
  uint64_t window;
  uint32_t process_id;
};

// The running instance's window, if it published one that still is its own.
HWND PublishedWindow() {
  const tessarin::unique_handle mapping(
      OpenFileMappingW(FILE_MAP_READ, FALSE, kInstanceMappingName));
  if (!mapping) return nullptr;
  const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(Published));
  if (view == nullptr) return nullptr;
  const Published published = *static_cast<const Published*>(view);
  UnmapViewOfFile(view);
  const HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(published.window));
  DWORD owner = 0;
  if (window == nullptr || !IsWindow(window) || GetWindowThreadProcessId(window, &owner) == 0 ||
      owner != published.process_id) {
    return nullptr;
  }
  return window;
}

}  // namespace

SingleInstance::~SingleInstance() {
  if (owned_) ReleaseMutex(mutex_.get());
}

SingleInstance::Outcome SingleInstance::Acquire(unsigned long timeout_ms) {
  // Owned by this main thread, so that a later start can wait for it:
  // Windows hands it over (abandoned) when this process ends.
  mutex_.reset(CreateMutexW(nullptr, TRUE, kMutexName));
  if (!mutex_) {
    // Access denied: it exists and another instance keeps it from us. Any
    // other failure: nothing is known about other instances, so start.
    if (GetLastError() != ERROR_ACCESS_DENIED) return Outcome::kOwned;
    if (HWND window = PublishedWindow()) SetForegroundWindow(window);
    return Outcome::kHandedOver;
  }
  if (GetLastError() != ERROR_ALREADY_EXISTS) {
    owned_ = true;
    return Outcome::kOwned;
  }
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    // A visible window is a running instance: it keeps the user's session.
    // Asked and brought forward without waiting on its thread, busy or hung.
    // One that is still starting shows itself soon; one that is closing
    // hides first and then ends.
    HWND window = PublishedWindow();
    if (window != nullptr && IsWindowVisible(window)) {
      if (IsIconic(window)) ShowWindowAsync(window, SW_RESTORE);
      SetForegroundWindow(window);
      // Not ours: let go at once, so that the mutex tells only of a start
      // that is (or will be) the session's instance.
      mutex_.reset();
      return Outcome::kHandedOver;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      mutex_.reset();
      return Outcome::kGaveUp;
    }
    const DWORD slice = static_cast<DWORD>(deadline - now < 100 ? deadline - now : 100);
    const DWORD waited = WaitForSingleObject(mutex_.get(), slice);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      owned_ = true;
      return Outcome::kOwned;
    }
  }
}

void SingleInstance::Publish(HWND window) {
  published_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(Published), kInstanceMappingName));
  if (!published_) return;
  void* view = MapViewOfFile(published_.get(), FILE_MAP_WRITE, 0, 0, sizeof(Published));
  if (view == nullptr) return;
  *static_cast<Published*>(view) =
      Published{static_cast<uint64_t>(reinterpret_cast<uintptr_t>(window)), GetCurrentProcessId()};
  UnmapViewOfFile(view);
}
