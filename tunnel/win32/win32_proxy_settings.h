// The per-user Internet Settings through the registry, and WinINet told to
// reload them. On its own, so the guard can link it without the rest of the
// ports (and without importing WinINet at start).
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_PROXY_SETTINGS_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_PROXY_SETTINGS_H_

#include "platform/win32_handles.h"
#include "tunnel/os_ports.h"

namespace tessarin {

class Win32ProxySettingsPort : public ProxySettingsPort {
 public:
  bool OpenSettingsKey() override;
  bool OpenSettingsKeyToCheck() override;
  bool SetDwordValue(const std::wstring& name, uint32_t value) override;
  bool SetStringValue(const std::wstring& name, const std::wstring& text) override;
  bool ReadDwordValue(const std::wstring& name, uint32_t* value) override;
  bool ReadStringValue(const std::wstring& name, std::wstring* text) override;
  void CloseSettingsKey() override { key_.reset(); }
  void NotifyInternetOption(uint32_t option) override;

 private:
  bool Open(REGSAM access);

  unique_hkey key_;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_PROXY_SETTINGS_H_
