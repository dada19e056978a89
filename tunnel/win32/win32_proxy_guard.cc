#include "tunnel/win32/win32_proxy_guard.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "tunnel/core_process.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/proxy_guard.h"
#include "tunnel/start_thread.h"
#include "tunnel/win32/win32_diagnostics.h"

namespace tessarin {

namespace {

// Set once, never cleared or closed: the crash path may read it at any time.
std::atomic<const CrashChannel*> g_crash_channel{nullptr};
// The session whose guard watches now (0: none): a crash without one waits
// for no dump. By number, so that a late end of an older guard never clears
// a newer one's.
std::atomic<uint64_t> g_guard_watching{0};
std::atomic<uint64_t> g_guard_sessions{0};

void Report(const char* what) {
  std::fprintf(stderr, "%s: error %lu.\n", what, ::GetLastError());
  std::fflush(stderr);
}

// How long Arm waits for the guard's first copy to hand over to the detached one.
constexpr DWORD kDetachWaitMs = 5000;

// The guard's file, quoted for a command line.
std::wstring QuotedGuardPath(SystemPort& system) {
  return L"\"" + ApplicationDirectory(system) + L"\\" + kGuardExecutableName + L"\"";
}

// The logon reset: |guard| (quoted) run with its reset switch.
void SetRunOnce(const std::wstring& guard) {
  const std::wstring command = guard + L" " + kGuardResetSwitch;
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

const CrashChannel* GuardCrashChannel() {
  const CrashChannel* made = g_crash_channel.load();
  if (made != nullptr) return made;
  auto* channel = new CrashChannel{};
  channel->crash = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  channel->record = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         sizeof(CrashRecord), nullptr);
  if (channel->record != nullptr) {
    channel->view = static_cast<CrashRecord*>(
        ::MapViewOfFile(channel->record, FILE_MAP_WRITE, 0, 0, sizeof(CrashRecord)));
  }
  channel->written = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  channel->own_request = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  channel->own_written = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_crash_channel.compare_exchange_strong(made, channel)) {
    // Another thread made it first: this one goes.
    if (channel->view != nullptr) ::UnmapViewOfFile(channel->view);
    for (HANDLE handle : {channel->crash, channel->record, channel->written, channel->own_request,
                          channel->own_written}) {
      if (handle != nullptr) ::CloseHandle(handle);
    }
    delete channel;
    return made;
  }
  return channel;
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
  const std::wstring guard = QuotedGuardPath(*system_);
  uint64_t releases = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    releases = releases_;
    // The logon reset at once, a registry write: the process may end
    // before the thread starts the guard (the session ends).
    SetRunOnce(guard);
  }
  const std::shared_ptr<const void> owner = owner_.lock();
  auto arm = [this, releases, owner] {
    // A thread's entry: nothing escapes. (Caught here rather than through the
    // channel layer's helper, whose streams the guard, linking this file,
    // would then carry.)
    try {
      ArmUnlessReleasedSince(releases);
    } catch (...) {
      std::fputs("Exception starting the guard again.\n", stderr);
    }
  };
  if (!StartThread("Exception starting the guard again: ", arm)) {
    arm();  // no thread to be had: the caller waits, once
  }
}

void Win32ProxyGuard::ArmUnlessReleasedSince(uint64_t releases) {
  const std::lock_guard<std::mutex> one_start(starting_);
  const std::wstring guard = QuotedGuardPath(*system_);
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (releases_ != releases) return;  // released since it was asked for
    SetRunOnce(guard);
    // Already watching, unless someone ended the guard meanwhile.
    if (session_ && ::WaitForSingleObject(session_->process.get(), 0) == WAIT_TIMEOUT) return;
  }
  auto session = std::make_unique<Session>();
  session->owner = this;
  session->number = ++g_guard_sessions;
  session->stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const CrashChannel* crash = GuardCrashChannel();
  unique_handle host;
  if (!session->stop || crash->crash == nullptr || crash->record == nullptr ||
      crash->written == nullptr ||
      !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                         host.put(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    Unguarded("The proxy guard could not be prepared");
    return;
  }
  auto number = [](HANDLE handle) { return std::to_wstring(reinterpret_cast<uintptr_t>(handle)); };
  const std::wstring command_line = guard + L" " + kGuardWatchSwitch + L" " + number(host.get()) +
                                    L" " + number(session->stop.get()) + L" " +
                                    number(crash->crash) + L" " + number(crash->record) + L" " +
                                    number(crash->written) + L" " + number(LogLockHandle());
  std::vector<HANDLE> handed = {host.get(), session->stop.get(), crash->crash, crash->record,
                                crash->written};
  if (LogLockHandle() != nullptr) handed.push_back(LogLockHandle());
  unique_handle first = StartGuardProcess(command_line, handed);
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
  if (notice_ != nullptr && !::RegisterWaitForSingleObject(
                                &session->wait, session->process.get(),
                                [](void* context, BOOLEAN) noexcept {
                                  // A thread-pool thread: the notice only posts. A
                                  // crash from now on is dumped from inside, until a
                                  // guard watches again.
                                  const auto* ended = static_cast<const Session*>(context);
                                  uint64_t mine = ended->number;
                                  g_guard_watching.compare_exchange_strong(mine, 0);
                                  ended->owner->notice_(ended->owner->notice_context_);
                                },
                                session.get(), INFINITE, WT_EXECUTEONLYONCE)) {
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
      g_guard_watching = session_->number;
      // One that ended before this (its exit callback found another's
      // number) watches nobody.
      uint64_t mine = session_->number;
      if (::WaitForSingleObject(session_->process.get(), 0) != WAIT_TIMEOUT) {
        g_guard_watching.compare_exchange_strong(mine, 0);
      }
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

void Win32ProxyGuard::Release(bool keep_logon_reset) {
  std::unique_ptr<Session> gone;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++releases_;
    gone = std::move(session_);
    g_guard_watching = 0;
    if (!keep_logon_reset) RemoveLogonProxyReset();
  }
}

bool Win32ProxyGuard::Lost() {
  std::lock_guard<std::mutex> hold(lock_);
  return session_ && ::WaitForSingleObject(session_->process.get(), 0) != WAIT_TIMEOUT;
}

bool Win32ProxyGuard::Watching() {
  std::lock_guard<std::mutex> hold(lock_);
  return session_ && ::WaitForSingleObject(session_->process.get(), 0) == WAIT_TIMEOUT;
}

void SignalProxyGuardCrash(EXCEPTION_POINTERS* exception) noexcept {
  const CrashChannel* channel = g_crash_channel.load();
  if (channel == nullptr || channel->view == nullptr) return;
  // The first crashing thread has the record; a second waits until that
  // crash is done with (its own would tear the record), a recursion does
  // not wait on itself.
  static std::atomic<DWORD> recording{0};
  const DWORD self = ::GetCurrentThreadId();
  DWORD first = 0;
  if (!recording.compare_exchange_strong(first, self)) {
    if (first != self) {
      for (DWORD waited = 0; recording.load() == first && waited < kCrashDumpWaitMs; waited += 10) {
        ::Sleep(10);
      }
    }
    return;
  }
  CrashRecord& record = *channel->view;
  record.threadId = self;
  record.hasException = TRUE;
  if (exception != nullptr && exception->ExceptionRecord != nullptr &&
      exception->ContextRecord != nullptr) {
    record.exception = *exception->ExceptionRecord;
    record.context = *exception->ContextRecord;
  } else {
    // An abort: this thread, here, as the fatal exit Windows reports for it.
    ::RtlCaptureContext(&record.context);
    record.exception = EXCEPTION_RECORD{};
    record.exception.ExceptionCode = kAbortExceptionCode;
    record.exception.ExceptionAddress = reinterpret_cast<void*>(record.context.Rip);
  }
  uint64_t watching = g_guard_watching.load();
  if (watching != 0 && channel->crash != nullptr && channel->written != nullptr) {
    ::ResetEvent(channel->written);
    ::SetEvent(channel->crash);
    // The dump is written from outside while this thread stands still.
    // A guard that took a crash watches no more: a later one goes to our
    // own dump thread until a new guard is started.
    if (::WaitForSingleObject(channel->written, kCrashDumpWaitMs) == WAIT_OBJECT_0) {
      g_guard_watching.compare_exchange_strong(watching, 0);
    }
    // One signal per crash: one that no guard took (it was stopping, or
    // gone) never wakes a later guard of a process that survives this.
    ::ResetEvent(channel->crash);
  } else if (channel->own_ready.load() && channel->own_thread.load() != self) {
    // (The writer's own crash has nobody to write it.)
    ::ResetEvent(channel->own_written);
    ::SetEvent(channel->own_request);
    ::WaitForSingleObject(channel->own_written, kCrashDumpWaitMs);
  }
  recording = 0;
}

}  // namespace tessarin
