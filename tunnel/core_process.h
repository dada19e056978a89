// Where the core and its configuration live, and starting, checking and
// stopping the core process.
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
