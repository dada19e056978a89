#include "tunnel/core_process.h"

#include <vector>

namespace tessarin {

std::wstring ApplicationDirectory(SystemPort& system) {
  // A path longer than the buffer comes back cut; grow until it fits so the
  // directory is never taken from a truncated path.
  std::vector<wchar_t> buffer(260);
  size_t length = 0;
  for (;;) {
    length = system.ModuleFileName(buffer.data(), buffer.size());
    if (length < buffer.size() || buffer.size() >= 32768) break;
    buffer.resize(buffer.size() * 2);
  }
  if (length >= buffer.size()) length = 0;  // still cut at the system's limit
  const std::wstring path(buffer.data(), length);
  const size_t separator = path.find_last_of(L"\\/");
  if (path.empty() || separator == std::wstring::npos) return L".";
  return path.substr(0, separator);
}

std::wstring CoreExecutablePath(const std::wstring& app_directory) {
  return app_directory + L"\\bin\\sing-box.exe";
}

std::wstring CoreConfigPath(const std::wstring& app_directory) {
  return app_directory + L"\\tessarin-sing-box.json";
}

bool CoreExecutableExists(SystemPort& system, const std::wstring& executable_path) {
  return system.PathExists(executable_path);
}

std::wstring CoreCommandLine(const std::wstring& executable_path, const std::wstring& config_path) {
  return L"\"" + executable_path + L"\" run -c \"" + config_path + L"\"";
}

uint32_t LaunchCore(ProcessPort& processes, const std::wstring& executable_path,
                    const std::wstring& config_path, const std::wstring& app_directory) {
  return processes.Launch(CoreCommandLine(executable_path, config_path), app_directory);
}

bool IsCoreAlive(ProcessPort& processes, uint32_t process_id) {
  if (process_id == 0) return false;
  return processes.IsRunning(process_id);
}

void TerminateCore(ProcessPort& processes, uint32_t process_id) {
  if (process_id == 0) return;
  processes.Terminate(process_id, kCoreTerminateWaitMs);
}

}  // namespace tessarin
