// Where the core and its configuration live, and starting, checking and
// stopping the core process.
//
// What the host relies on from sing-box, and nothing more: it accepts the
// command line `"<app>\bin\sing-box.exe" run -c "<app>\tessarin-sing-box.json"`
// started hidden in <app>; it keeps running while it accepts the document
// that BuildCoreConfig wrote there and exits when it rejects it (we look 800 ms
// after the start); it then serves the mixed inbound of LocalProxyEndpoint
// (127.0.0.1:20808) for HTTP, HTTPS CONNECT and SOCKS, relayed over the node.
// We never read its output, logs or exit code, and stop it by termination.
#ifndef TESSARIN_TUNNEL_CORE_PROCESS_H_
#define TESSARIN_TUNNEL_CORE_PROCESS_H_

#include <cstdint>
#include <string>

#include "tunnel/os_ports.h"

namespace tessarin {

// The running executable's directory without a trailing separator, or ".".
std::wstring ApplicationDirectory(SystemPort& system);
std::wstring CoreExecutablePath(const std::wstring& app_directory);
std::wstring CoreConfigPath(const std::wstring& app_directory);
bool CoreExecutableExists(SystemPort& system, const std::wstring& executable_path);
// The quoted executable, run -c, the quoted configuration path.
std::wstring CoreCommandLine(const std::wstring& executable_path, const std::wstring& config_path);
// The new process id, or 0 when the core could not be started.
uint32_t LaunchCore(ProcessPort& processes, const std::wstring& executable_path,
                    const std::wstring& config_path, const std::wstring& app_directory);
bool IsCoreAlive(ProcessPort& processes, uint32_t process_id);
void TerminateCore(ProcessPort& processes, uint32_t process_id);

constexpr uint32_t kCoreTerminateWaitMs = 3000;

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_CORE_PROCESS_H_
