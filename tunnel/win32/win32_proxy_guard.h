// The host's side of the outside guard: while armed, tessarin-guard.exe waits
// on this process and switches our proxy off if it ends without a clean
// release; a RunOnce value does the same at the next logon after a power loss.
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32_handles.h"
#include "tunnel/os_ports.h"
#include "tunnel/proxy_guard.h"

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
  void Release(bool keep_logon_reset = false) override;
  bool Lost() override;
  bool Watching() override;
  // From now on, when an armed guard's process ends (someone ended it),
  // |notice|(|context|) runs on a thread-pool thread (it only posts), so
  // that it can be started again. Set before anything is armed. (A
  // function, not a window message: the guard, which links this file too,
  // never loads the window library.)
  using ExitNotice = void (*)(void* context);
  void NotifyExit(ExitNotice notice, void* context) {
    notice_ = notice;
    notice_context_ = context;
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
    const Win32ProxyGuard* owner = nullptr;
    uint64_t number = 0;  // of this process's sessions, from 1
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
  ExitNotice notice_ = nullptr;
  void* notice_context_ = nullptr;
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

// What a crash leaves for the guard: its thread, and copies of its
// exception and context (so that the dump does not depend on the crashed
// process still being there when they are read; for an abort, the aborting
// thread's context where it signalled).
// STATUS_FATAL_APP_EXIT: what an abort's dump names as its exception.
constexpr DWORD kAbortExceptionCode = 0x40000015;
struct CrashRecord {
  CONTEXT context;  // first: the view is page-aligned, as a context must be
  EXCEPTION_RECORD exception;
  DWORD threadId;
  DWORD hasException;
};

// What a crash hands to whoever writes its dump, made at the first use and
// never closed or unmapped: the crash event (auto-reset: one crash wakes one
// guard once), the CrashRecord mapping and its view, the guard's "dump
// written" event, and the same two events for this process's own writer,
// for a crash that no guard watches. A member is null when it could not be
// made.
struct CrashChannel {
  HANDLE crash;
  HANDLE record;
  CrashRecord* view;
  HANDLE written;
  HANDLE own_request;
  HANDLE own_written;
  mutable std::atomic<bool> own_ready{false};  // its thread waits for a request
  mutable std::atomic<DWORD> own_thread{0};    // that thread
};
const CrashChannel* GuardCrashChannel();

// For a crash or abort handler: records the calling thread and |exception|
// (null for an abort), has its dump written (by an armed guard, which also
// switches the proxy off, else by this process's own writer) and waits for
// it, at most kCrashDumpWaitMs. The first crashing thread wins the record;
// another waits until that crash is done with (as long at most), and one
// that crashes again within its own handling returns at once. Only writes a few words and uses
// handles that are never closed, so it neither allocates nor takes a lock
// the failing thread may hold. A process that survives its crash (a handler
// before ours went on) has its next crash recorded anew.
void SignalProxyGuardCrash(EXCEPTION_POINTERS* exception) noexcept;

// Removes the logon value, once no proxy of ours is left to reset.
void RemoveLogonProxyReset();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_
