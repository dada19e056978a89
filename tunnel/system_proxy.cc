#include "tunnel/system_proxy.h"

#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

namespace {

// Every connected dial-up or VPN connection, whose own proxy programs use
// while it is connected: given ours (on), or, where it is exactly ours,
// set direct again (off).
void SwitchDialUpProxies(ProxySettingsPort& settings, bool on) {
  const std::wstring ours = LocalProxyEndpoint::kSystemProxyServer;
  for (const std::wstring& connection : settings.DialUpConnections()) {
    if (on) {
      settings.WriteConnectionProxy(connection, kProxyTypeDirect | kProxyTypeProxy, ours,
                                    L"<local>");
      continue;
    }
    uint32_t flags = 0;
    std::wstring server;
    if (settings.ReadConnectionProxy(connection, &flags, &server) &&
        (flags & kProxyTypeProxy) != 0 && server == ours) {
      settings.WriteConnectionProxy(connection, kProxyTypeDirect, server, L"<local>");
    }
  }
}

}  // namespace

bool SetSystemProxy(ProxySettingsPort& settings, bool enable) {
  // Switching on reads the switch first, to put it back as it was.
  if (!(enable ? settings.OpenSettingsKeyToCheck() : settings.OpenSettingsKey())) return false;
  uint32_t before = 0;
  if (enable) settings.ReadDwordValue(L"ProxyEnable", &before);
  const bool switched = settings.SetDwordValue(L"ProxyEnable", enable ? 1 : 0);
  bool written = switched;
  // Switching off leaves the server and bypass list as they are.
  if (enable) {
    const bool server =
        switched && settings.SetStringValue(L"ProxyServer", LocalProxyEndpoint::kSystemProxyServer);
    written = server && settings.SetStringValue(L"ProxyOverride", L"<local>");
    // A proxy switched on without naming our endpoint would cut the user
    // off: the switch goes back as it was (another program's proxy, on,
    // stays on) and the failure is reported. Once our server was written,
    // it is switched off only while it still is ours: another program may
    // have set its own since.
    if (switched && !server) settings.SetDwordValue(L"ProxyEnable", before == 1 ? 1 : 0);
    if (!written && server) {
      settings.CloseSettingsKey();
      SwitchOffOurProxy(settings);
      return false;
    }
  }
  settings.CloseSettingsKey();
  if (enable && written) SwitchDialUpProxies(settings, true);
  settings.NotifyInternetOption(kInternetOptionSettingsChanged);
  settings.NotifyInternetOption(kInternetOptionRefresh);
  return written;
}

OurProxy SwitchOffOurProxy(ProxySettingsPort& settings) {
  // A key that cannot be read may hold ours: nothing is known to be off.
  if (!settings.OpenSettingsKeyToCheck()) return OurProxy::kStillOn;
  uint32_t enable = 0;
  std::wstring server;
  const bool ours = settings.ReadDwordValue(L"ProxyEnable", &enable) && enable == 1 &&
                    settings.ReadStringValue(L"ProxyServer", &server) &&
                    server == LocalProxyEndpoint::kSystemProxyServer;
  const bool switched = ours && settings.SetDwordValue(L"ProxyEnable", 0);
  settings.CloseSettingsKey();
  SwitchDialUpProxies(settings, false);
  if (switched) {
    settings.NotifyInternetOption(kInternetOptionSettingsChanged);
    settings.NotifyInternetOption(kInternetOptionRefresh);
  }
  if (!ours) return OurProxy::kNotOurs;
  return switched ? OurProxy::kSwitchedOff : OurProxy::kStillOn;
}

}  // namespace tessarin
