#include "tunnel/system_proxy.h"

#include <algorithm>

#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

namespace {

// Ours, as a connection carries it.
ConnectionProxy OurConnectionProxy() {
  ConnectionProxy ours;
  ours.flags = kProxyTypeDirect | kProxyTypeProxy;
  ours.server = LocalProxyEndpoint::kSystemProxyServer;
  ours.bypass = L"<local>";
  return ours;
}

bool IsOurs(const ConnectionProxy& proxy) {
  return (proxy.flags & kProxyTypeProxy) != 0 &&
         proxy.server == LocalProxyEndpoint::kSystemProxyServer;
}

// Every connected dial-up or VPN connection, whose own proxy programs use
// while it is connected, gets ours; what it had is kept first (once: a
// connection already ours keeps what was kept), and one whose settings
// cannot be kept is left as it is. |touched|: whether any was kept or written.
// False when one could not be read, kept or written (looked at again later).
bool DialUpProxiesOn(ProxySettingsPort& settings, bool* touched) {
  const ConnectionProxy ours = OurConnectionProxy();
  bool all = true;
  for (const std::wstring& connection : settings.DialUpConnections()) {
    ConnectionProxy own;
    ConnectionProxy kept;
    if (!settings.ReadConnectionProxy(connection, &own) ||
        (IsOurs(own) ? !settings.ReadKeptConnection(connection, &kept)
                     : !settings.KeepConnection(connection, own))) {
      all = false;
      continue;
    }
    *touched = true;
    all &= settings.WriteConnectionProxy(connection, ours);
  }
  return all;
}

// Every kept connection, connected or not, whose settings are still exactly
// ours gets back what it had (direct, where what was kept cannot be read);
// one someone changed since keeps its own. A connected one that is ours with
// nothing kept goes direct. False when one could not be read or written (it
// stays kept, for the next try); |wrote|: whether any was written.
bool DialUpProxiesOff(ProxySettingsPort& settings, bool* wrote) {
  bool all = true;
  const std::vector<std::wstring> kept_ones = settings.KeptConnections();
  for (const std::wstring& connection : kept_ones) {
    ConnectionProxy own;
    if (!settings.ReadConnectionProxy(connection, &own)) {
      all = false;
      continue;
    }
    if (IsOurs(own)) {
      ConnectionProxy kept;
      if (!settings.ReadKeptConnection(connection, &kept)) {
        // Given back by someone else since it was listed (a host still
        // running beside a guard): what they restored stays.
        const std::vector<std::wstring> now = settings.KeptConnections();
        if (std::find(now.begin(), now.end(), connection) == now.end()) {
          // (Still ours with nothing kept to read: not done, tried again.)
          if (!settings.ReadConnectionProxy(connection, &own) || IsOurs(own)) all = false;
          continue;
        }
        kept = own;
        kept.flags = kProxyTypeDirect;
      }
      if (!settings.WriteConnectionProxy(connection, kept)) {
        all = false;
        continue;
      }
      *wrote = true;
    }
    settings.ForgetConnection(connection);
  }
  for (const std::wstring& connection : settings.DialUpConnections()) {
    if (std::find(kept_ones.begin(), kept_ones.end(), connection) != kept_ones.end()) continue;
    ConnectionProxy own;
    if (settings.ReadConnectionProxy(connection, &own) && IsOurs(own)) {
      own.flags = kProxyTypeDirect;
      if (settings.WriteConnectionProxy(connection, own)) {
        *wrote = true;
      } else {
        all = false;
      }
    }
  }
  return all;
}

}  // namespace

ProxySettingsPort::Connections ProxySettingsPort::SwitchConnections(bool ours, bool* wrote) {
  if (ours) return DialUpProxiesOn(*this, wrote) ? Connections::kDone : Connections::kFailed;
  return DialUpProxiesOff(*this, wrote) ? Connections::kDone : Connections::kFailed;
}

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
  bool wrote = false;
  if (enable && written) settings.SwitchConnections(true, &wrote);
  settings.NotifyInternetOption(kInternetOptionSettingsChanged);
  settings.NotifyInternetOption(kInternetOptionRefresh);
  return written;
}

OurProxy SwitchOffOurProxy(ProxySettingsPort& settings, bool* not_ours, bool* main_off) {
  if (not_ours != nullptr) *not_ours = false;
  if (main_off != nullptr) *main_off = false;
  // A key that cannot be read may hold ours: nothing is known to be off.
  if (!settings.OpenSettingsKeyToCheck()) return OurProxy::kStillOn;
  uint32_t enable = 0;
  std::wstring server;
  const bool ours = settings.ReadDwordValue(L"ProxyEnable", &enable) && enable == 1 &&
                    settings.ReadStringValue(L"ProxyServer", &server) &&
                    server == LocalProxyEndpoint::kSystemProxyServer;
  if (not_ours != nullptr) *not_ours = !ours;
  const bool switched = ours && settings.SetDwordValue(L"ProxyEnable", 0);
  settings.CloseSettingsKey();
  if (main_off != nullptr) *main_off = !ours || switched;
  bool wrote = false;
  const ProxySettingsPort::Connections connections = settings.SwitchConnections(false, &wrote);
  if (switched || wrote) {
    settings.NotifyInternetOption(kInternetOptionSettingsChanged);
    settings.NotifyInternetOption(kInternetOptionRefresh);
  }
  // A connection not yet given back is not done either: tried again as the
  // main values are.
  if (connections == ProxySettingsPort::Connections::kRunning) return OurProxy::kConnectionsPending;
  if (connections == ProxySettingsPort::Connections::kFailed) return OurProxy::kStillOn;
  if (!ours) return OurProxy::kNotOurs;
  return switched ? OurProxy::kSwitchedOff : OurProxy::kStillOn;
}

BackgroundConnections::BackgroundConnections(bool leftovers, std::function<void()> wake)
    : wake_(std::move(wake)), mayBeOurs_(leftovers) {}

ProxySettingsPort::Connections BackgroundConnections::Ask(bool ours) {
  using Connections = ProxySettingsPort::Connections;
  Connections answer = Connections::kRunning;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // A switch-on under way may be writing ours right now.
    const bool none_ours = !mayBeOurs_ && !onRunning_;
    if (!ours && !askedOurs_ && done_ == asked_) {
      if (doneWorked_) return Connections::kDone;
      answer = Connections::kFailed;  // said once, and tried again
    } else if (!ours && !askedOurs_) {
      return none_ours ? Connections::kDone : Connections::kRunning;  // under way
    } else if (!ours) {
      answer = none_ours ? Connections::kDone : Connections::kRunning;
    }
    askedOurs_ = ours;
    ++asked_;
  }
  wake_();
  return answer;
}

bool BackgroundConnections::RunOnce(ProxySettingsPort& settings, bool* worked) {
  *worked = false;
  uint64_t run = 0;
  bool ours = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (done_ == asked_) return false;
    run = asked_;
    ours = askedOurs_;
    onRunning_ = ours;
  }
  bool wrote = false;
  bool all = false;
  try {
    all = settings.SwitchConnections(ours, &wrote) == ProxySettingsPort::Connections::kDone;
    if (wrote) {
      settings.NotifyInternetOption(kInternetOptionSettingsChanged);
      settings.NotifyInternetOption(kInternetOptionRefresh);
    }
  } catch (...) {
    std::lock_guard<std::mutex> hold(lock_);
    onRunning_ = false;
    mayBeOurs_ |= ours;  // how far it came is not known
    throw;
  }
  std::lock_guard<std::mutex> hold(lock_);
  onRunning_ = false;
  if (ours && wrote) mayBeOurs_ = true;
  // Something asked since runs next; this outcome is nobody's.
  if (asked_ != run) return true;
  done_ = run;
  doneWorked_ = all;
  if (!ours && all) {
    mayBeOurs_ = false;
    *worked = true;
  }
  return true;
}

bool BackgroundConnections::LookAgain(bool came) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!askedOurs_) return false;
  // (A run under way may have listed before one came: it runs again.)
  if (!came && (done_ != asked_ || doneWorked_)) return false;
  ++asked_;
  return true;
}

bool BackgroundConnections::Idle() {
  std::lock_guard<std::mutex> hold(lock_);
  return done_ == asked_ && !onRunning_;
}

}  // namespace tessarin
