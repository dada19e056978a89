#include "tunnel/win32/win32_proxy_guard.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "channel/diagnostics.h"

#include "tunnel/core_process.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/proxy_guard.h"

namespace tessarin {

namespace {

// Set once, never cleared or closed: the crash path may read it at any time.
std::atomic<HANDLE> g_crash_event{nullptr};

void Report(const char* what) {
  std::fprintf(stderr, "%s: error %lu.\n", what, ::GetLastError());
  std::fflush(stderr);
}

// How long Arm waits for the guard's first copy to hand over to the detached one.
constexpr DWORD kDetachWaitMs = 5000;

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

unique_handle StartGuardProcess(const std::wstring& command_line,
                                const std::vector<HANDLE>& handles) {
  const InheritedHandleList inherited(handles);
  if (inherited.get() == nullptr) return unique_handle();  // never every inheritable handle
  for (HANDLE handle : handles)
    ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup);
  startup.lpAttributeList = inherited.get();
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
  const DWORD error = ::GetLastError();
  for (HANDLE handle : handles) ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  if (!started) {
    ::SetLastError(error);
    return unique_handle();
  }
  ::CloseHandle(info.hThread);
  return unique_handle(info.hProcess);
}

HANDLE GuardCrashEvent() {
  HANDLE event = g_crash_event.load();
  if (event != nullptr) return event;
  HANDLE made = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (made == nullptr) return nullptr;
  if (!g_crash_event.compare_exchange_strong(event, made)) {
    ::CloseHandle(made);  // another thread made it first
    return event;
  }
  return made;
}

Win32ProxyGuard::Session::~Session() {
  // The guard exits touching nothing; no notice of that end follows.
  if (stop) ::SetEvent(stop.get());
  if (wait != nullptr) ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
}

Win32ProxyGuard::~Win32ProxyGuard() {
  // Destroyed armed only when the process is going away anyway: the guard
  // must then see the host end and do its work, not be told to stop.
  std::lock_guard<std::mutex> hold(lock_);
  if (session_) session_->stop.reset();
}

void Win32ProxyGuard::Arm() {
  uint64_t releases = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    releases = releases_;
  }
  ArmUnlessReleasedSince(releases);
}

void Win32ProxyGuard::Rearm() {
  uint64_t releases = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    releases = releases_;
  }
  const std::shared_ptr<const void> owner = owner_.lock();
  auto arm = [this, releases, owner] {
    // A thread's entry: nothing escapes.
    flutter::RunAtBoundary("Exception starting the guard again: ",
                           [&] { ArmUnlessReleasedSince(releases); });
  };
  try {
    std::thread(arm).detach();
  } catch (const std::system_error&) {
    arm();  // no thread to be had: the caller waits, once
  }
}

void Win32ProxyGuard::ArmUnlessReleasedSince(uint64_t releases) {
  const std::lock_guard<std::mutex> one_start(starting_);
  const std::wstring guard =
      L"\"" + ApplicationDirectory(*system_) + L"\\" + kGuardExecutableName + L"\"";
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (releases_ != releases) return;  // released since it was asked for
    SetRunOnce(guard + L" " + kGuardResetSwitch);
    // Already watching, unless someone ended the guard meanwhile.
    if (session_ && ::WaitForSingleObject(session_->process.get(), 0) == WAIT_TIMEOUT) return;
  }
  auto session = std::make_unique<Session>();
  session->stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const HANDLE crash = GuardCrashEvent();
  unique_handle host;
  if (!session->stop || crash == nullptr ||
      !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                         host.put(), SYNCHRONIZE, FALSE, 0)) {
    Unguarded("The proxy guard could not be prepared");
    return;
  }
  auto number = [](HANDLE handle) { return std::to_wstring(reinterpret_cast<uintptr_t>(handle)); };
  const std::wstring command_line = guard + L" " + kGuardWatchSwitch + L" " + number(host.get()) +
                                    L" " + number(session->stop.get()) + L" " + number(crash);
  unique_handle first = StartGuardProcess(command_line, {host.get(), session->stop.get(), crash});
  if (!first) {
    Unguarded("The proxy guard could not be started");
    return;
  }
  // The first copy starts the one that watches, outside this process's tree
  // (so ending the tree spares it), and exits with its process id. A first
  // copy that could not do that watches itself.
  DWORD handed_to = 0;
  if (::WaitForSingleObject(first.get(), kDetachWaitMs) == WAIT_OBJECT_0 &&
      ::GetExitCodeProcess(first.get(), &handed_to)) {
    session->process.reset(::OpenProcess(SYNCHRONIZE, FALSE, handed_to));
  } else {
    session->process = std::move(first);
  }
  if (!session->process) {
    Unguarded("The proxy guard ended at once");
    return;
  }
  if (window_ != nullptr && !::RegisterWaitForSingleObject(
                                &session->wait, session->process.get(),
                                [](void* context, BOOLEAN) noexcept {
                                  // A thread-pool thread: only post; the window's thread decides.
                                  const auto* self = static_cast<const Win32ProxyGuard*>(context);
                                  ::PostMessageW(self->window_, self->message_, 0, 0);
                                },
                                this, INFINITE, WT_EXECUTEONLYONCE)) {
    session->wait = nullptr;
  }
  std::unique_ptr<Session> replaced;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // Released while it started: this guard goes again (its stop is set).
    if (releases_ != releases) {
      replaced = std::move(session);
    } else {
      replaced = std::move(session_);
      session_ = std::move(session);
    }
  }
  // Ended outside the lock: its end waits for a running exit callback.
}

void Win32ProxyGuard::Unguarded(const char* what) {
  const DWORD error = ::GetLastError();
  Report(what);
  // Security software may quarantine such a helper: the connect still works,
  // and the log says what is then left to the logon reset.
  if (log_ != nullptr) {
    log_->Write(std::string(what) + ": error " + std::to_string(error) +
                "; nothing watches the proxy from outside: if tessarin ends without a clean "
                "stop, the proxy stays on until tessarin starts again or the next logon");
  }
}

void Win32ProxyGuard::Release() {
  std::unique_ptr<Session> gone;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++releases_;
    gone = std::move(session_);
    RemoveLogonProxyReset();
  }
}

void SignalProxyGuardCrash() noexcept {
  const HANDLE crash = g_crash_event.load();
  if (crash != nullptr) ::SetEvent(crash);
}

}  // namespace tessarin
