// This process's diagnostics log, in the user's own log directory.
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_DIAGNOSTICS_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_DIAGNOSTICS_H_

#include <windows.h>

#include <memory>
#include <string>

#include "tunnel/diagnostics_log.h"

namespace tessarin {

// %LOCALAPPDATA%\tessarin\logs, for this process's id and the system clock.
// Its appends hold the lock below, when this process has one.
std::unique_ptr<DiagnosticsLog> OpenDiagnosticsLog();

// The host's lock around appends, made at the first call: unnamed, so only
// this process and the guards it hands it to can hold it. Null when none
// could be made.
HANDLE LogLockHandle();
// In a guard: the host's lock, inherited, is the one its appends hold.
void ShareLogLock(HANDLE inherited);

// %LOCALAPPDATA% when it is a full path (a drive's or a share's), else
// empty: nothing of ours is ever written at a drive's root.
std::wstring LocalAppData();

// The Windows version, as "10.0.19045".
std::string WindowsVersion();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_DIAGNOSTICS_H_
