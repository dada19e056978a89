// The per-user Internet Settings through the registry, and WinINet told to
// reload them. On its own, so the guard can link it without the rest of the
// ports (and without importing WinINet at start).
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_PROXY_SETTINGS_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_PROXY_SETTINGS_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

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
  bool MachinePolicyOverridesUser() override;
  std::vector<std::wstring> DialUpConnections() override;
  bool ReadConnectionProxy(const std::wstring& connection, ConnectionProxy* proxy) override;
  bool WriteConnectionProxy(const std::wstring& connection, const ConnectionProxy& proxy) override;
  std::vector<std::wstring> KeptConnections() override;
  bool ReadKeptConnection(const std::wstring& connection, ConnectionProxy* proxy) override;
  bool KeepConnection(const std::wstring& connection, const ConnectionProxy& proxy) override;
  void ForgetConnection(const std::wstring& connection) override;
  void WatchChanges(bool on) override;

  // Where a watched change is told: |notice|(|context|) runs on the
  // window's thread, from its message loop, and only posts. Set before
  // anything is watched.
  using ChangeNotice = void (*)(void* context);
  // From now on, in every port of this process, the connected dial-up
  // connections are listed by a thread of their own and DialUpConnections
  // answers its last list, without waiting (listing may start the dial-up
  // service). Without it, each call lists them itself. This port's
  // switches leave their connections' part to that thread too
  // (BackgroundConnections); |worked|(|context|) runs there when a
  // switch-off's part worked, and only posts. Once, before any switch.
  void SwitchConnectionsInBackground(ChangeNotice worked, void* context);
  // At the program's end: waits up to |ms| for that thread to finish what
  // was asked (the rest is the guard's); whether it did.
  static bool FinishConnections(uint32_t ms);
  Connections SwitchConnections(bool ours, bool* wrote) override;
  // On the window's thread, once: its loop waits on the change event from
  // then on. WatchChanges may be called from another thread after it.
  void NotifyChanges(ChangeNotice notice, void* context);

 private:
  // The change event the message loop waits on, let go of before it closes.
  struct ChangeEvent {
    unique_handle event;
    bool waited = false;
    ~ChangeEvent();
  };
  bool Open(REGSAM access);

  unique_hkey key_;
  ChangeNotice notice_ = nullptr;
  void* notice_context_ = nullptr;
  std::unique_ptr<ChangeEvent> change_;
  unique_hkey watchedKey_;  // the key a change is asked on (the owner's thread's)
  // A change is asked for and has not come yet; one that comes is told.
  std::atomic<bool> asked_{false};
  std::atomic<bool> wanted_{false};
  bool background_ = false;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_PROXY_SETTINGS_H_
