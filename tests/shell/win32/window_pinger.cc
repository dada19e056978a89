// How well the program's window answers: finds it, sends it WM_NULL every
// 20 ms and times each answer until the window is gone, as Windows does
// before it calls a window "Not Responding". Optionally closes it on the way.
//
// usage: window_pinger LIMIT_MS [CLOSE_AFTER_MS]
//        window_pinger --resume   (tells the window the machine resumed, as Windows does)
//        window_pinger --close    (asks the window to close, as its close box does)
// prints one JSON line: {"pings": N, "slowest_ms": S, "timed_out": B,
//   "gone_after_close_ms": G, "ended_after_close_ms": E} (G, E null without a close)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/instance_names.h"
#include "platform/win32_handles.h"
#include "shell/win32_window.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const bool resume = std::wcscmp(argv[1], L"--resume") == 0;
  if (resume || std::wcscmp(argv[1], L"--close") == 0) {
    const HWND window = FindWindowW(kWindowClassName, kWindowTitle);
    const bool posted = window != nullptr &&
                        (resume ? PostMessageW(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0)
                                : PostMessageW(window, WM_CLOSE, 0, 0)) != FALSE;
    std::puts(posted ? "{\"posted\": true}" : "{\"error\": \"no window\"}");
    return posted ? 0 : 1;
  }
  const ULONGLONG limit = std::wcstoull(argv[1], nullptr, 10);
  const long long close_after = argc > 2 ? std::wcstoll(argv[2], nullptr, 10) : -1;
  // The window shows once the engine has drawn; it is looked for until then.
  HWND window = nullptr;
  for (int i = 0; i < 3000 && (window == nullptr || !IsWindowVisible(window)); ++i) {
    window = FindWindowW(kWindowClassName, kWindowTitle);
    if (window == nullptr || !IsWindowVisible(window)) Sleep(10);
  }
  if (window == nullptr) {
    std::puts("{\"error\": \"no window\"}");
    return 1;
  }
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  tessarin::unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));

  const ULONGLONG start = GetTickCount64();
  ULONGLONG slowest = 0;
  ULONGLONG closed_at = 0;
  int pings = 0;
  bool timed_out = false;
  while (IsWindow(window)) {
    const ULONGLONG now = GetTickCount64();
    if (now - start > limit) {
      timed_out = true;
      break;
    }
    if (close_after >= 0 && closed_at == 0 && now - start >= static_cast<ULONGLONG>(close_after)) {
      PostMessageW(window, WM_CLOSE, 0, 0);
      closed_at = GetTickCount64();
    }
    DWORD_PTR answer = 0;
    const ULONGLONG sent = GetTickCount64();
    const LRESULT ok = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &answer);
    const ULONGLONG took = GetTickCount64() - sent;
    if (!ok && !IsWindow(window)) break;  // gone while we asked
    if (took > slowest) slowest = took;
    ++pings;
    Sleep(20);
  }
  std::string gone = "null";
  std::string ended = "null";
  if (closed_at != 0 && !timed_out) {
    gone = std::to_string(GetTickCount64() - closed_at);
    if (process && WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0) {
      ended = std::to_string(GetTickCount64() - closed_at);
    }
  }
  std::printf(
      "{\"pings\": %d, \"slowest_ms\": %llu, \"timed_out\": %s, \"gone_after_close_ms\": %s, "
      "\"ended_after_close_ms\": %s}\n",
      pings, slowest, timed_out ? "true" : "false", gone.c_str(), ended.c_str());
  return 0;
}
