#include "tunnel/win32/win32_proxy_guard.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "tunnel/core_process.h"
#include "tunnel/proxy_guard.h"

namespace tessarin {

namespace {

// The armed guard's crash event, for the crash path; null when none is armed.
std::atomic<HANDLE> g_crash_event{nullptr};

void Report(const char* what) {
  std::fprintf(stderr, "%s: error %lu.\n", what, ::GetLastError());
  std::fflush(stderr);
}

unique_handle InheritableEvent() {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return unique_handle(::CreateEventW(&inherit, TRUE, FALSE, nullptr));
}

// Starts the guard with exactly |handles| inherited. Outside any job the host
// runs in when that job allows it, so ending the host's job spares it.
unique_handle StartGuard(const std::wstring& command_line, std::vector<HANDLE> handles) {
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return unique_handle();
  ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                              handles.size() * sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup);
  startup.lpAttributeList = attributes;
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW;
  PROCESS_INFORMATION info = {};
  BOOL started = ::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE,
                                  flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr,
                                  &startup.StartupInfo, &info);
  // A job that forbids breaking away refuses the flag: start inside it.
  if (!started && ::GetLastError() == ERROR_ACCESS_DENIED) {
    started = ::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, flags, nullptr,
                               nullptr, &startup.StartupInfo, &info);
  }
  ::DeleteProcThreadAttributeList(attributes);
  if (!started) return unique_handle();
  ::CloseHandle(info.hThread);
  return unique_handle(info.hProcess);
}

void SetRunOnce(const std::wstring& command) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
    Report("The logon proxy reset could not be set");
    return;
  }
  const unique_hkey owned(key);
  if (::RegSetValueExW(
          key, kRunOnceValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
          static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
    Report("The logon proxy reset could not be set");
  }
}

}  // namespace

void RemoveLogonProxyReset() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  const unique_hkey owned(key);
  ::RegDeleteValueW(key, kRunOnceValueName);
}

Win32ProxyGuard::~Win32ProxyGuard() {
  // Destroyed without a release only when the process is going away anyway;
  // the guard then sees the host end and does its work.
  g_crash_event.store(nullptr);
}

void Win32ProxyGuard::Arm() {
  const std::wstring guard =
      L"\"" + ApplicationDirectory(*system_) + L"\\" + kGuardExecutableName + L"\"";
  SetRunOnce(guard + L" " + kGuardResetSwitch);
  // Already watching, unless someone ended the guard meanwhile.
  if (guard_ && ::WaitForSingleObject(guard_.get(), 0) == WAIT_TIMEOUT) return;
  unique_handle stop = InheritableEvent();
  unique_handle crash = InheritableEvent();
  unique_handle host;
  if (!stop || !crash ||
      !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                         host.put(), SYNCHRONIZE, TRUE, 0)) {
    Report("The proxy guard could not be prepared");
    return;
  }
  auto number = [](HANDLE handle) { return std::to_wstring(reinterpret_cast<uintptr_t>(handle)); };
  const std::wstring command_line = guard + L" " + kGuardWatchSwitch + L" " + number(host.get()) +
                                    L" " + number(stop.get()) + L" " + number(crash.get());
  unique_handle started = StartGuard(command_line, {host.get(), stop.get(), crash.get()});
  if (!started) {
    Report("The proxy guard could not be started");
    return;
  }
  guard_ = std::move(started);
  stop_ = std::move(stop);
  crash_ = std::move(crash);
  g_crash_event.store(crash_.get());
}

void Win32ProxyGuard::Release() {
  g_crash_event.store(nullptr);
  if (stop_) ::SetEvent(stop_.get());
  stop_.reset();
  crash_.reset();
  guard_.reset();
  RemoveLogonProxyReset();
}

void SignalProxyGuardCrash() noexcept {
  const HANDLE crash = g_crash_event.load();
  if (crash != nullptr) ::SetEvent(crash);
}

}  // namespace tessarin
