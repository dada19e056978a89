#include "tunnel/win32/win32_diagnostics.h"

#include <windows.h>

#include <string>

namespace tessarin {

namespace {

uint64_t UnixTicksNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const uint64_t since_1601 = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return since_1601 - 116444736000000000ULL;
}

}  // namespace

std::unique_ptr<DiagnosticsLog> OpenDiagnosticsLog() {
  wchar_t local[MAX_PATH * 4];
  const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH * 4);
  // Without the variable the directory is unknown: the log says so at its first line.
  const LogPath base = length > 0 && length < MAX_PATH * 4 ? LogPath(local, length) : LogPath();
  return std::make_unique<DiagnosticsLog>(JoinLogPath(base, kLogDirectory), ::GetCurrentProcessId(),
                                          UnixTicksNow);
}

std::string WindowsVersion() {
  // GetVersionEx answers what the manifest allows; ntdll tells the truth.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get = ntdll == nullptr ? nullptr
                                    : reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                          ::GetProcAddress(ntdll, "RtlGetVersion")));
  if (get == nullptr || get(&info) != 0) return "unknown";
  return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}

}  // namespace tessarin
