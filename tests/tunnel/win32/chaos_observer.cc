// Watches what a user would see while a chaos run attacks the program: every
// 20 ms the per-user proxy values, whether tessarin and a core run, whether
// something listens on the core's port, and how fast the window answers
// WM_NULL. Until the file STOP exists (or SECONDS pass), then one JSON line:
// {"samples": N, "on_without_core_ms": A, "on_after_end_ms": B,
//  "slowest_answer_ms": C, "slowest_beyond_control_ms": E, "slowest_at": T,
//  "answers": D, "over_16_ms": F}
// A: longest time our proxy was on with no core listening; B: longest time it
// was on with no tessarin running; C: the window's slowest WM_NULL answer;
// E: the most one answer took beyond a control window's answer in the same
// sample (a window of the observer's own, on a thread that does nothing
// else): what the program added, without what the machine's load did.
//
// usage: chaos_observer SECONDS STOP
#include <winsock2.h>
// After winsock2.h, which it needs.
#include <iphlpapi.h>
#include <tlhelp32.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <thread>
#include <vector>

#include "platform/instance_names.h"
#include "platform/win32_handles.h"
#include "shell/win32_window.h"
#include "tunnel/local_proxy_endpoint.h"

namespace {

constexpr wchar_t kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

bool OurProxyOn() {
  DWORD enable = 0;
  DWORD size = sizeof(enable);
  if (RegGetValueW(HKEY_CURRENT_USER, kSettings, L"ProxyEnable", RRF_RT_REG_DWORD, nullptr, &enable,
                   &size) != ERROR_SUCCESS ||
      enable != 1) {
    return false;
  }
  wchar_t server[512] = {};
  size = sizeof(server);
  return RegGetValueW(HKEY_CURRENT_USER, kSettings, L"ProxyServer", RRF_RT_REG_SZ, nullptr, server,
                      &size) == ERROR_SUCCESS &&
         std::wcscmp(server, tessarin::LocalProxyEndpoint::kSystemProxyServer) == 0;
}

// Which of the two programs run now.
void Running(bool* host, bool* core) {
  *host = *core = false;
  const tessarin::unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    *host |= _wcsicmp(entry.szExeFile, L"tessarin.exe") == 0;
    *core |= _wcsicmp(entry.szExeFile, L"sing-box.exe") == 0;
  }
}

bool Listening(uint16_t port) {
  std::vector<uint8_t> table(64 * 1024);
  DWORD size = static_cast<DWORD>(table.size());
  if (GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0) !=
      NO_ERROR) {
    return false;
  }
  const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
  for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
    if (ntohs(static_cast<u_short>(rows->table[i].dwLocalPort)) == port) return true;
  }
  return false;
}

// The longest time a condition held without a break.
struct Span {
  ULONGLONG since = 0;
  ULONGLONG worst = 0;
  SYSTEMTIME worst_began = {};  // UTC, to find in the log
  SYSTEMTIME began = {};
  void Sample(bool holds, ULONGLONG now) {
    if (!holds) {
      since = 0;
      return;
    }
    if (since == 0) {
      since = now;
      GetSystemTime(&began);
    }
    if (now - since > worst) {
      worst = now - since;
      worst_began = began;
    }
  }
};

// Times one WM_NULL round trip to |window|; false when it did not answer.
bool Ping(HWND window, ULONGLONG* took) {
  DWORD_PTR answer = 0;
  const ULONGLONG sent = GetTickCount64();
  if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer)) return false;
  *took = GetTickCount64() - sent;
  return true;
}

// A window on a thread of its own that only answers: the control.
HWND StartControl(std::thread* thread) {
  WNDCLASSW type = {};
  type.lpfnWndProc = DefWindowProcW;
  type.hInstance = GetModuleHandleW(nullptr);
  type.lpszClassName = L"chaos-observer-control";
  RegisterClassW(&type);
  HWND made = nullptr;
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  *thread = std::thread([&made, ready] {
    made = CreateWindowW(L"chaos-observer-control", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
    SetEvent(ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  });
  WaitForSingleObject(ready, INFINITE);
  CloseHandle(ready);
  return made;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const ULONGLONG limit = std::wcstoull(argv[1], nullptr, 10) * 1000;
  std::thread control_thread;
  const HWND control = StartControl(&control_thread);
  const ULONGLONG start = GetTickCount64();
  ULONGLONG beyond = 0;
  SYSTEMTIME beyond_at = {};
  int over_16 = 0;  // answers that took more than 16 ms beyond the control's
  Span on_without_core;
  Span on_after_end;
  ULONGLONG slowest = 0;
  int samples = 0;
  int answers = 0;
  while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount64() - start < limit) {
    const ULONGLONG now = GetTickCount64();
    const bool on = OurProxyOn();
    bool host = false;
    bool core = false;
    Running(&host, &core);
    on_without_core.Sample(on && !(core && Listening(tessarin::LocalProxyEndpoint::kPort)), now);
    on_after_end.Sample(on && !host, now);
    ULONGLONG took = 0;
    ULONGLONG control_took = 0;
    HWND window = FindWindowW(kWindowClassName, kWindowTitle);
    // Once shown, as the pinger does: before, the window is still being made.
    if (window != nullptr && IsWindowVisible(window) && Ping(window, &took) &&
        Ping(control, &control_took)) {
      if (took > slowest) slowest = took;
      if (took > control_took + 16) ++over_16;
      if (took > control_took && took - control_took > beyond) {
        beyond = took - control_took;
        GetSystemTime(&beyond_at);
      }
      ++answers;
    }
    ++samples;
    const ULONGLONG spent = GetTickCount64() - now;
    if (spent < 20) Sleep(static_cast<DWORD>(20 - spent));
  }
  std::printf(
      "{\"samples\": %d, \"on_without_core_ms\": %llu, \"on_after_end_ms\": %llu, "
      "\"slowest_answer_ms\": %llu, \"slowest_beyond_control_ms\": %llu, "
      "\"slowest_at\": \"%02u:%02u:%02u.%03u\", \"answers\": %d, \"over_16_ms\": %d, "
      "\"on_without_core_from\": \"%02u:%02u:%02u.%03u\"}\n",
      samples, on_without_core.worst, on_after_end.worst, slowest, beyond, beyond_at.wHour,
      beyond_at.wMinute, beyond_at.wSecond, beyond_at.wMilliseconds, answers, over_16,
      on_without_core.worst_began.wHour, on_without_core.worst_began.wMinute,
      on_without_core.worst_began.wSecond, on_without_core.worst_began.wMilliseconds);
  std::fflush(stdout);
  PostMessageW(control, WM_QUIT, 0, 0);
  control_thread.join();
  return 0;
}
