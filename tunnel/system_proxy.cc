#include "tunnel/system_proxy.h"

#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

bool SetSystemProxy(ProxySettingsPort& settings, bool enable) {
  if (!settings.OpenSettingsKey()) return false;
  settings.SetDwordValue(L"ProxyEnable", enable ? 1 : 0);
  // Switching off leaves the server and bypass list as they are.
  if (enable) {
    settings.SetStringValue(L"ProxyServer", LocalProxyEndpoint::kSystemProxyServer);
    settings.SetStringValue(L"ProxyOverride", L"<local>");
  }
  settings.CloseSettingsKey();
  settings.NotifyInternetOption(kInternetOptionSettingsChanged);
  settings.NotifyInternetOption(kInternetOptionRefresh);
  return true;
}

}  // namespace tessarin
