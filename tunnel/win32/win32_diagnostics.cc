#include "tunnel/win32/win32_diagnostics.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace tessarin {

namespace {

uint64_t UnixTicksNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const uint64_t since_1601 = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return since_1601 - 116444736000000000ULL;
}

// One named mutex per user session, shared by the host and its guard; a
// holder that died leaves it abandoned, which counts as had.
class NamedLogLock : public LogFileLock {
 public:
  NamedLogLock() : mutex_(::CreateMutexW(nullptr, FALSE, L"Local\\tessarin.log-lock")) {}
  bool Acquire() override {
    if (mutex_ == nullptr) return false;
    // A holder stuck in a crash cannot hold every later line back for long.
    const DWORD waited = ::WaitForSingleObject(mutex_, 2000);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  void Release() override { ::ReleaseMutex(mutex_); }

 private:
  HANDLE mutex_;  // never closed: the log lives until the process ends
};

// An absolute path: a drive's "X:\" or a share's "\\".
bool Absolute(const LogPath& path) {
  return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
         path.compare(0, 2, L"\\\\") == 0;
}

}  // namespace

std::wstring LocalAppData() {
  wchar_t local[MAX_PATH * 4];
  const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH * 4);
  const std::wstring base =
      length > 0 && length < MAX_PATH * 4 ? std::wstring(local, length) : std::wstring();
  return Absolute(base) ? base : std::wstring();
}

std::unique_ptr<DiagnosticsLog> OpenDiagnosticsLog() {
  const LogPath base = LocalAppData();
  static NamedLogLock* lock = new NamedLogLock();
  // Without the variable (or with a relative one) no path is the user's
  // own: no log, rather than one at the root of some drive.
  if (base.empty()) {
    std::fprintf(stderr, "LOCALAPPDATA is not set to a full path; no diagnostics log.\n");
    std::fflush(stderr);
    return std::make_unique<DiagnosticsLog>(LogPath(), ::GetCurrentProcessId(), UnixTicksNow);
  }
  return std::make_unique<DiagnosticsLog>(JoinLogPath(base, kLogDirectory), ::GetCurrentProcessId(),
                                          UnixTicksNow, lock);
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
