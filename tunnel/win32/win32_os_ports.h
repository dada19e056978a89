// The Win32 side of the tunnel's OS ports: a few lines per call.
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_OS_PORTS_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_OS_PORTS_H_

#include <map>

#include "tunnel/os_ports.h"
#include "tunnel/win32/win32_handles.h"

namespace tessarin {

class Win32ProxySettingsPort : public ProxySettingsPort {
 public:
  bool OpenSettingsKey() override;
  bool SetDwordValue(const std::wstring& name, uint32_t value) override;
  bool SetStringValue(const std::wstring& name, const std::wstring& text) override;
  void CloseSettingsKey() override { key_.reset(); }
  void NotifyInternetOption(uint32_t option) override;

 private:
  unique_hkey key_;
};

class Win32InternetPort : public InternetPort {
 public:
  std::unique_ptr<InternetSession> OpenSession(const std::string& agent,
                                               const std::string& proxy) override;
};

// Keeps the handle of every process it launched until that process is
// terminated, so a recycled process id can never make it query or kill
// another program; and puts each one in a kill-on-close job, so the cores go
// down with this process however it ends.
class Win32ProcessPort : public ProcessPort {
 public:
  uint32_t Launch(const std::wstring& command_line, const std::wstring& directory) override;
  bool IsRunning(uint32_t process_id) override;
  void Terminate(uint32_t process_id, uint32_t wait_ms) override;

 private:
  void ForgetExited();

  unique_handle job_;
  std::map<uint32_t, unique_handle> launched_;
};

class Win32SystemPort : public SystemPort {
 public:
  size_t ModuleFileName(wchar_t* buffer, size_t size) override;
  bool PathExists(const std::wstring& path) override;
  bool WriteWholeFile(const std::wstring& path, const std::string& bytes) override;
  uint64_t UnixTimeTicks() override;
  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_OS_PORTS_H_
