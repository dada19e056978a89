// The host's side of the outside guard: while armed, tessarin-guard.exe waits
// on this process and switches our proxy off if it ends without a clean
// release; a RunOnce value does the same at the next logon after a power loss.
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_

#include "platform/win32_handles.h"
#include "tunnel/os_ports.h"

namespace tessarin {

class Win32ProxyGuard : public ProxyGuardPort {
 public:
  // The guard lies beside the program, in the application directory.
  explicit Win32ProxyGuard(SystemPort* system) : system_(system) {}
  ~Win32ProxyGuard() override;

  // Starts the guard and writes the logon value; a guard that cannot be
  // started is reported on stderr, and the proxy still goes on.
  void Arm() override;
  // The guard exits touching nothing; the logon value goes.
  void Release() override;

 private:
  SystemPort* system_;
  unique_handle guard_;  // the guard's process, while armed
  unique_handle stop_;
  unique_handle crash_;
};

// For a crash or abort handler: tells an armed guard to clean up now. Only
// reads one word and sets an event, so it neither allocates nor takes a lock
// the failing thread may hold.
void SignalProxyGuardCrash() noexcept;

// Removes the logon value, once no proxy of ours is left to reset.
void RemoveLogonProxyReset();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_PROXY_GUARD_H_
