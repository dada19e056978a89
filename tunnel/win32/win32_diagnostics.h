// This process's diagnostics log, in the user's own log directory.
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_DIAGNOSTICS_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_DIAGNOSTICS_H_

#include <memory>

#include "tunnel/diagnostics_log.h"

namespace tessarin {

// %LOCALAPPDATA%\tessarin\logs, for this process's id and the system clock.
std::unique_ptr<DiagnosticsLog> OpenDiagnosticsLog();

// The Windows version, as "10.0.19045".
std::string WindowsVersion();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_DIAGNOSTICS_H_
