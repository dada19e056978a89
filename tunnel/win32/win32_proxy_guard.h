// The host's side of the outside guard: while armed, tessarin-guard.exe waits
// on this process and switches our proxy off if it ends without a clean
// release; a RunOnce value does the same at the next logon after a power loss.
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32_handles.h"
#include "tunnel/os_ports.h"

namespace tessarin {

// Armed from a job's thread or a re-arm's own thread, released from the
// window's: the session is behind a lock that is held only for moments, and
// the slow start (the guard hands over to its detached copy) under a second
// lock that the window's thread never takes.
class Win32ProxyGuard : public ProxyGuardPort {
 public:
  // The guard lies beside the program, in the application directory.
  explicit Win32ProxyGuard(SystemPort* system) : system_(system) {}
  ~Win32ProxyGuard() override;

  // Starts the guard, unless one runs, and writes the logon value; a guard
  // that cannot be started is reported on stderr, and the proxy still goes on.
  void Arm() override;
  // Arm on a thread of its own, unless a Release comes first.
  void Rearm() override;
  // The guard exits touching nothing; the logon value goes.
  void Release() override;
  // From now on, when an armed guard's process ends (someone ended it),
  // |message| is posted to |window|, so that it can be started again.
  // Set before anything is armed.
  void NotifyExit(HWND window, UINT message) {
    window_ = window;
    message_ = message;
  }
  // What a re-arm's thread holds, so that nothing it uses is freed under it.
  void KeepAliveWith(std::weak_ptr<const void> owner) { owner_ = std::move(owner); }
  // Where a guard that cannot be started is reported, besides stderr; set
  // before anything is armed.
  void ReportTo(LogPort* log) { log_ = log; }

 private:
  // One running guard. Move-only; its end tells the guard to exit touching
  // nothing, after the wait on its process is gone.
  struct Session {
    unique_handle process;
    unique_handle stop;
    HANDLE wait = nullptr;
    ~Session();
  };

  // Arms unless a Release came after |releases| were counted.
  void ArmUnlessReleasedSince(uint64_t releases);
  // A guard that could not be started: said, with what is then not covered.
  void Unguarded(const char* what);

  SystemPort* system_;
  HWND window_ = nullptr;
  UINT message_ = 0;
  std::weak_ptr<const void> owner_;
  LogPort* log_ = nullptr;
  std::mutex starting_;  // one start at a time; never taken by the window's thread
  std::mutex lock_;      // guards the two below, held only for moments
  uint64_t releases_ = 0;
  std::unique_ptr<Session> session_;
};

// Starts |command_line| (the guard) with exactly |handles| inherited, each
// inheritable only for the moment of the start; outside any job this process
// runs in when that job allows it. Also the guard's own way to detach.
unique_handle StartGuardProcess(const std::wstring& command_line,
                                const std::vector<HANDLE>& handles);

// The process's one crash event, made at the first arming and never closed.
HANDLE GuardCrashEvent();

// For a crash or abort handler: tells an armed guard to clean up now. Only
// reads one word and sets an event that is never closed, so it neither
// allocates nor takes a lock the failing thread may hold.
void SignalProxyGuardCrash() noexcept;

// Removes the logon value, once no proxy of ours is left to reset.
void RemoveLogonProxyReset();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_
