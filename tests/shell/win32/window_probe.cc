// Creates the top-level window as the entry does and prints where it came
// out: "DPI X Y WIDTH HEIGHT". The DPI is chosen by the test per process.
#include <windows.h>

#include <cstdio>

#include "engine_api/flutter_windows.h"
#include "shell/win32_window.h"

int main() {
  Win32Window window;
  if (!window.Create(L"probe", WindowPoint{10, 10}, WindowSize{430, 860})) return 1;
  RECT frame = {};
  GetWindowRect(window.NativeHandle(), &frame);
  const UINT dpi =
      FlutterDesktopGetDpiForMonitor(MonitorFromPoint(POINT{10, 10}, MONITOR_DEFAULTTONEAREST));
  std::printf("%u %ld %ld %ld %ld\n", dpi, frame.left, frame.top, frame.right - frame.left,
              frame.bottom - frame.top);
  return 0;
}
