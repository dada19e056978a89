// tessarin-guard.exe: the proxy must not outlive tessarin. Started by the
// host before it switches the proxy on, it waits on the host and, if the host
// ends or crashes without a clean release, switches our proxy off (only while
// it is still on and ours) from outside. "--reset" does the same once, for the
// logon after a power loss. No window, no console, no engine.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "platform/instance_names.h"
#include "platform/win32_handles.h"
#include "tunnel/proxy_guard.h"
#include "tunnel/system_proxy.h"
#include "tunnel/win32/guard_crash_dump.h"
#include "tunnel/win32/win32_diagnostics.h"
#include "tunnel/win32/win32_proxy_guard.h"
#include "tunnel/win32/win32_proxy_settings.h"

namespace {

// The words after the program path. Only the host and the logon start the
// guard, with plain words; the path alone may be quoted.
std::vector<std::wstring> Arguments() {
  const wchar_t* at = ::GetCommandLineW();
  if (*at == L'"') {
    at = std::wcschr(at + 1, L'"');
    at = at != nullptr ? at + 1 : L"";
  }
  while (*at != L'\0' && !std::iswspace(*at)) ++at;
  std::vector<std::wstring> words;
  while (*at != L'\0') {
    while (std::iswspace(*at)) ++at;
    const wchar_t* begin = at;
    while (*at != L'\0' && !std::iswspace(*at)) ++at;
    if (at != begin) words.emplace_back(begin, at);
  }
  return words;
}

HANDLE HandleFrom(const std::wstring& word) {
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(word.c_str(), &end, 10);
  if (end == word.c_str() || *end != L'\0') return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// While a crashed host still runs, its dial-up thread may be between
// keeping a connection's own settings and writing ours: such a pass neither
// forgets what is kept nor sends a connection that is ours with nothing kept
// direct (what it had may be being kept that moment). Both are left to a
// pass after the host ended.
class GuardPort : public tessarin::Win32ProxySettingsPort {
 public:
  explicit GuardPort(bool host_gone) : host_gone_(host_gone) {}
  std::vector<std::wstring> DialUpConnections() override {
    if (!host_gone_) return {};
    return Win32ProxySettingsPort::DialUpConnections();
  }
  void ForgetConnection(const std::wstring& connection) override {
    if (host_gone_) Win32ProxySettingsPort::ForgetConnection(connection);
  }

 private:
  bool host_gone_;
};

// Our proxy switched off, only while it is on and ours; |said| gets the
// log's words for it. |host_gone|: nothing of the host runs any more.
tessarin::OurProxy SwitchOffIfOurs(std::string* said, bool host_gone = true) {
  GuardPort settings(host_gone);
  const tessarin::OurProxy result = tessarin::SwitchOffOurProxy(settings);
  *said += result == tessarin::OurProxy::kSwitchedOff ? "switched our proxy off"
           : result == tessarin::OurProxy::kNotOurs
               ? "the proxy was not on or not ours, left alone"
               : "our proxy could not be switched off, the logon reset stays";
  return result;
}

// Switched off, or not ours: nothing of ours is left on.
bool Off(tessarin::OurProxy result) {
  return result == tessarin::OurProxy::kSwitchedOff || result == tessarin::OurProxy::kNotOurs;
}

// Once the host has ended, the session's instance mutex exists only if a
// new tessarin has it (or waits for it): what is on now is that one's, and
// its start switches off what the old one left. The guard leaves it alone.
bool NewHostRuns() {
  const tessarin::unique_handle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, kMutexName));
  return static_cast<bool>(mutex) || ::GetLastError() == ERROR_ACCESS_DENIED;
}
constexpr char kLeftToNewHost[] = "a new tessarin has started since: left to it";

// How long a crashed host may take to end once its dump is written.
constexpr DWORD kCrashedHostEndMs = 2000;

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  // dbghelp and WinINet, and what they load in turn, from the system
  // directory or ours only.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  const std::vector<std::wstring> words = Arguments();
  if (words.size() == 1 && words[0] == tessarin::kGuardResetSwitch) {
    std::string said = "guard: logon reset; ";
    SwitchOffIfOurs(&said);
    tessarin::OpenDiagnosticsLog()->Write(said);  // appended to the host's own log
    return 0;
  }
  const bool first = !words.empty() && words[0] == tessarin::kGuardWatchSwitch;
  if (words.size() != 7 || (!first && words[0] != tessarin::kGuardDetachedSwitch)) return 2;
  const HANDLE host = HandleFrom(words[1]);
  const HANDLE stop = HandleFrom(words[2]);
  const HANDLE crash = HandleFrom(words[3]);
  const HANDLE record = HandleFrom(words[4]);
  const HANDLE written = HandleFrom(words[5]);
  // The host's log lock, when it had one ("0" when not).
  const HANDLE log_lock = HandleFrom(words[6]);
  if (log_lock != nullptr) tessarin::ShareLogLock(log_lock);
  if (first) {
    // Ending the host's process tree (taskkill /T, End task on the app's
    // group) ends this process too; a copy whose parent has gone is no
    // longer in that tree. The host learns its id from the exit code.
    wchar_t self[MAX_PATH * 4];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    if (length > 0 && length < MAX_PATH * 4) {
      const tessarin::unique_handle copy = tessarin::StartGuardProcess(
          L"\"" + std::wstring(self, length) + L"\" " + tessarin::kGuardDetachedSwitch + L" " +
              words[1] + L" " + words[2] + L" " + words[3] + L" " + words[4] + L" " + words[5] +
              L" " + words[6],
          log_lock != nullptr ? std::vector<HANDLE>{host, stop, crash, record, written, log_lock}
                              : std::vector<HANDLE>{host, stop, crash, record, written});
      if (copy) return static_cast<int>(::GetProcessId(copy.get()));
    }
  }
  const tessarin::unique_handle published(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr,
                                                               PAGE_READWRITE, 0, sizeof(DWORD),
                                                               tessarin::kGuardPublishedName));
  if (published) {
    if (void* view = ::MapViewOfFile(published.get(), FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
      *static_cast<DWORD*>(view) = ::GetCurrentProcessId();
      ::UnmapViewOfFile(view);
    }
  }
  // The clean stop first: a host that released and then exited is not a loss.
  const HANDLE waits[] = {stop, host, crash};
  const DWORD woke = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
  if (woke == WAIT_OBJECT_0) return 0;
  if (woke != WAIT_OBJECT_0 + 1 && woke != WAIT_OBJECT_0 + 2) return 2;  // not our handles
  // The proxy first: a dump takes a while (half a second under Wine), and the user's
  // traffic must not point at a dead port meanwhile. Nothing of ours is
  // left on for a logon to reset, unless the switch failed.
  const bool crashed = woke == WAIT_OBJECT_0 + 2;
  std::string said =
      crashed ? "guard: the host crashed; " : "guard: the host ended without a clean stop; ";
  const bool new_host = !crashed && NewHostRuns();
  if (new_host) said += kLeftToNewHost;
  bool off = !new_host && Off(SwitchOffIfOurs(&said, !crashed));
  std::string dumped;
  if (crashed) {
    // Then the dump, while the crashed thread waits in its filter; nothing of
    // it comes from the crashed heap.
    dumped = tessarin::WriteCrashDump(host, record);
    ::SetEvent(written);
    // The crashed host's other threads ran on meanwhile, and may have put
    // something of ours on since (its dial-up thread a connection's proxy):
    // looked at again once it has ended. The logon reset stays for a host
    // that has not (one that survived sets and clears it itself).
    off = false;
    if (::WaitForSingleObject(host, kCrashedHostEndMs) != WAIT_OBJECT_0) {
      said += "; it had not ended 2 s after its dump, the logon reset stays";
    } else if (NewHostRuns()) {
      said += std::string("; once it ended, ") + kLeftToNewHost;
    } else {
      std::string again;
      const tessarin::OurProxy result = SwitchOffIfOurs(&again);
      off = Off(result);
      if (result != tessarin::OurProxy::kNotOurs) said += "; once it ended, " + again;
    }
  }
  if (off) tessarin::RemoveLogonProxyReset();
  // The log last: its lock may be held by a thread of the crashed host until
  // that host ends, and neither the proxy nor the dump waits for it.
  const std::unique_ptr<tessarin::DiagnosticsLog> log = tessarin::OpenDiagnosticsLog();
  log->Write(said);
  if (!dumped.empty()) log->Write("guard: " + dumped);
  return 0;
}
