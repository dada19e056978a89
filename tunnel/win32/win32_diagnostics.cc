#include "tunnel/win32/win32_diagnostics.h"

#include <windows.h>

#include <atomic>
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

// The lock around appends: an unnamed mutex, made by the host and inherited
// by its guard, so no other program can open it by a name and hold every
// line back. A holder that died leaves it abandoned, which counts as had.
std::atomic<HANDLE> g_log_lock{nullptr};

class ProcessLogLock : public LogFileLock {
 public:
  bool Acquire() override {
    const HANDLE mutex = g_log_lock.load();
    if (mutex == nullptr) return false;
    // A holder stuck in a crash cannot hold every later line back for long.
    const DWORD waited = ::WaitForSingleObject(mutex, 2000);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  void Release() override { ::ReleaseMutex(g_log_lock.load()); }
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

HANDLE LogLockHandle() {
  HANDLE made = g_log_lock.load();
  if (made != nullptr) return made;
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, nullptr);
  if (mutex == nullptr) return nullptr;
  if (!g_log_lock.compare_exchange_strong(made, mutex)) {
    ::CloseHandle(mutex);  // another thread made it first
    return made;
  }
  return mutex;  // never closed: the log lives until the process ends
}

void ShareLogLock(HANDLE inherited) {
  HANDLE none = nullptr;
  g_log_lock.compare_exchange_strong(none, inherited);
}

std::unique_ptr<DiagnosticsLog> OpenDiagnosticsLog() {
  const LogPath base = LocalAppData();
  static ProcessLogLock* lock = new ProcessLogLock();
  // Without the variable (or with a relative one) no path is the user's
  // own: no log, rather than one at the root of some drive.
  if (base.empty()) {
    std::fprintf(stderr, "LOCALAPPDATA is not set to a full path; no diagnostics log.\n");
    std::fflush(stderr);
    return std::make_unique<DiagnosticsLog>(LogPath(), ::GetCurrentProcessId(), UnixTicksNow);
  }
  auto log = std::make_unique<DiagnosticsLog>(JoinLogPath(base, kLogDirectory),
                                              ::GetCurrentProcessId(), UnixTicksNow, lock);
  log->OwnFoldersBelow(base);
  return log;
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
