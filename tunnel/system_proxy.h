// Points the current user's system proxy at the core's local inbound, or
// switches it off.
#ifndef TESSARIN_TUNNEL_SYSTEM_PROXY_H_
#define TESSARIN_TUNNEL_SYSTEM_PROXY_H_

#include <cstdint>

#include "tunnel/os_ports.h"

namespace tessarin {

constexpr uint32_t kInternetOptionRefresh = 37;
constexpr uint32_t kInternetOptionSettingsChanged = 39;

// False only when the settings key cannot be opened; then nothing changes.
bool SetSystemProxy(ProxySettingsPort& settings, bool enable);

// For an end nobody cleaned up after: switches the proxy off only while it is
// on and still names our endpoint exactly, so a proxy the user set since is
// left alone.
enum class OurProxy { kSwitchedOff, kNotOurs, kStillOn };
OurProxy SwitchOffOurProxy(ProxySettingsPort& settings);

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_SYSTEM_PROXY_H_
