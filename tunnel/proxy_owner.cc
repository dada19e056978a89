#include "tunnel/proxy_owner.h"

#include <algorithm>

#include "tunnel/diagnostics_log.h"
#include "tunnel/local_proxy_endpoint.h"
#include "tunnel/system_proxy.h"

namespace tessarin {

namespace {

// A switch-off that failed is tried again after 1 s, then each wait doubles
// up to a minute.
constexpr uint32_t kFirstProxyOffRetryMs = 1000;
constexpr uint32_t kLongestProxyOffRetryMs = 60000;
// Ours back again right after a switch-off of them: soon again, but never
// in a loop with a program that keeps putting them back.
constexpr uint32_t kBackAgainRetryMs = 250;

}  // namespace

ProxyOwner::ProxyOwner(const OsPorts& ports, ProxyGuardPort* guard,
                       std::function<void(uint32_t)> retry_after)
    : ports_(ports), guard_(guard), retryAfter_(std::move(retry_after)), state_(Off{}) {}

ProxyOwner::View ProxyOwner::Look() const {
  View view;
  view.on = IsOn();
  view.takenOver = TakenOver();
  view.script = ScriptSeen();
  view.unread = Unread();
  view.offPending = OffPending();
  return view;
}

bool ProxyOwner::TakenOver() const {
  if (const Off* off = std::get_if<Off>(&state_)) return off->takenOver;
  if (const On* on = std::get_if<On>(&state_)) return on->takenOver;
  if (const SwitchingOff* off = std::get_if<SwitchingOff>(&state_)) return off->takenOver;
  return false;
}

bool ProxyOwner::ScriptSeen() const {
  const On* on = std::get_if<On>(&state_);
  return on != nullptr && on->script;
}

bool ProxyOwner::Unread() const {
  const On* on = std::get_if<On>(&state_);
  return on != nullptr && on->unread;
}

bool ProxyOwner::WantsGuard() const {
  if (const Back* back = std::get_if<Back>(&state_)) return back->guarded;
  return !std::holds_alternative<Off>(state_);
}

void ProxyOwner::Settle() {
  if (WantsGuard() || jobsArming_ > 0) return;
  guard_->Release(resetKept_);
}

bool ProxyOwner::SwitchOn() {
  try {
    return SwitchOnOnce();
  } catch (...) {
    Interrupted(false, false, false);
    throw;
  }
}

bool ProxyOwner::SwitchOff(bool tunnel, bool stopping) {
  // (What it found is known as far as it got.)
  bool not_ours = false;
  bool main_off = false;
  try {
    return SwitchOffOnce(tunnel, stopping, &not_ours, &main_off);
  } catch (...) {
    Interrupted(tunnel, not_ours, main_off);
    throw;
  }
}

void ProxyOwner::Interrupted(bool tunnel, bool not_ours, bool main_off) {
  // A switch cut short may have left ours on: a switch-off is tried again,
  // a guard watching meanwhile, judged as far as this one got.
  const SwitchingOff* pending = std::get_if<SwitchingOff>(&state_);
  const bool taken = TakenOver();
  SwitchingOff next = pending != nullptr ? *pending : SwitchingOff{};
  next.tunnel = next.tunnel || tunnel;
  next.takenOver = taken || (not_ours && next.tunnel && !next.mainOff);
  next.wroteOff = next.wroteOff || (main_off && !not_ours);
  next.mainOff = next.mainOff || main_off;
  next.retryMs = std::max(next.retryMs, kFirstProxyOffRetryMs);
  state_ = next;
  try {
    RetryAfter(next.retryMs);
    guard_->Rearm();
  } catch (...) {  // (the step's own throw is told)
  }
}

void ProxyOwner::StepFailed() {
  // Whatever the step was doing is looked at again soon: values that came
  // back are switched off (a guard watching meanwhile), a tunnel's read again.
  if (On* on = std::get_if<On>(&state_)) {
    on->unread = true;
  } else if (std::holds_alternative<Off>(state_)) {
    state_ = Back{true};
    guard_->Rearm();
  }
  RetryAfter(kFirstProxyOffRetryMs);
}

bool ProxyOwner::SwitchOnOnce() {
  ProxySettingsPort& settings = *ports_.proxy_settings;
  if (!SetSystemProxy(settings, true)) {
    WriteLog(ports_, "the system proxy could not be switched on");
    SwitchOff();
    return false;
  }
  // Watched from here on, and read back once: a program that rewrote the
  // values the moment they became ours is told in this connect's reply; a
  // configuration script is left alone, but told of. (One read: what it
  // says is known together, or looked at again together.)
  settings.WatchChanges(true);
  On on;
  uint32_t enable = 0;
  std::wstring server;
  std::wstring script;
  const bool known = settings.OpenSettingsKeyToCheck();
  if (known) {
    settings.ReadDwordValue(L"ProxyEnable", &enable);
    settings.ReadStringValue(L"ProxyServer", &server);
    on.script = settings.ReadStringValue(L"AutoConfigURL", &script) && !script.empty();
  }
  settings.CloseSettingsKey();
  const bool ours = known && enable == 1 && server == LocalProxyEndpoint::kSystemProxyServer;
  const size_t dial_ups = settings.DialUpConnections().size();
  WriteLog(ports_, "system proxy on" +
                       (dial_ups > 0 ? ", and on " + std::to_string(dial_ups) +
                                           " dial-up or VPN connection(s)"
                                     : std::string()) +
                       (on.script ? "; a configuration script is set (AutoConfigURL " +
                                        LogScriptUrl(script) + "): it may send traffic around us"
                                  : std::string()));
  if (!known && retryAfter_) {
    on.unread = true;  // looked at again, as at a change
    RetryAfter(kFirstProxyOffRetryMs);
  }
  if (!ours && known) {
    on.takenOver = true;
    WriteLog(ports_,
             "another program changed the system proxy as it went on: tessarin is not in use");
  }
  state_ = on;
  return true;
}

bool ProxyOwner::SwitchOffOnce(bool tunnel, bool stopping, bool* found_not_ours,
                               bool* found_main_off) {
  const SwitchingOff* pending = std::get_if<SwitchingOff>(&state_);
  // (A tunnel's switch-off that did not complete is still one.)
  tunnel = tunnel || (pending != nullptr && pending->tunnel);
  const bool main_was_off = pending != nullptr && pending->mainOff;
  const bool wrote_off = pending != nullptr && pending->wroteOff;
  const uint32_t last_wait = pending != nullptr ? pending->retryMs : 0;
  const bool was_back = std::holds_alternative<Back>(state_);
  bool taken = TakenOver();
  ports_.proxy_settings->WatchChanges(false);
  // Only a proxy that is exactly ours: another program's stays as it is.
  const OurProxy off = SwitchOffOurProxy(*ports_.proxy_settings, found_not_ours, found_main_off);
  const bool not_ours = *found_not_ours;
  const bool main_off = *found_main_off;
  // Not ours where a tunnel had them: a takeover, its notice still on its
  // way. (Not once this switch-off wrote its own ProxyEnable=0.)
  if (not_ours && tunnel && !main_was_off) taken = true;
  if (off == OurProxy::kNotOurs && (stopping || taken || tunnel) && !main_was_off) {
    WriteLog(ports_, "the system proxy is not ours now: left as it is");
  }
  if (off == OurProxy::kStillOn || off == OurProxy::kConnectionsPending) {
    // Still on, or not known to be off: the guard and the logon reset stay,
    // to switch it off when this process cannot, and this process tries again
    // (at once when the connections' own thread says it is done).
    SwitchingOff next;
    next.tunnel = tunnel;
    next.mainOff = main_was_off || main_off;
    next.wroteOff = wrote_off || (main_off && !not_ours);
    next.takenOver = taken;
    next.retryMs =
        last_wait == 0 ? kFirstProxyOffRetryMs : std::min(last_wait * 2, kLongestProxyOffRetryMs);
    state_ = next;
    WriteLog(ports_,
             std::string(off == OurProxy::kStillOn
                             ? "the system proxy could not be switched off"
                             : "dial-up or VPN connections are still being given back their "
                               "own proxies") +
                 "; the guard stays armed; trying again in " + std::to_string(next.retryMs) +
                 " ms");
    uint32_t wait = next.retryMs;
    if (!stopping) {
      // Values that came back with no tunnel had no guard: one covers them
      // now, and the key stays watched for values put back meanwhile.
      guard_->Rearm();
      ports_.proxy_settings->WatchChanges(true);
      // Put back while this switch-off ran, before the watch: soon again.
      if (off == OurProxy::kConnectionsPending && OurValuesOn()) wait = kFirstProxyOffRetryMs;
      std::get<SwitchingOff>(state_).retryMs = wait;
    } else if (!guard_->Watching()) {
      // A guard lost while the tunnel was up, its notice not taken yet (the
      // window closing): one watches what stays on.
      guard_->Rearm();
    }
    RetryAfter(wait);
    return false;
  }
  if (pending != nullptr) WriteLog(ports_, "the system proxy is off now");
  // A program that took the proxy over may have saved ours, to restore it
  // when it exits: the logon reset stays for that. (Until ours are found on
  // again and switched off: what was saved came back then. A failed connect
  // meanwhile changes nothing of it.)
  if (taken) {
    resetKept_ = true;
  } else if (off == OurProxy::kSwitchedOff || wrote_off) {
    resetKept_ = false;
  }
  // A program that saved our values (during a takeover, say) may put them
  // back when nothing of ours listens: watched while tessarin runs, and
  // read once now, for what came back before the watch.
  ports_.proxy_settings->WatchChanges(true);
  bool known = false;
  if (!(OurValuesOn(&known) || !known)) {
    state_ = Off{taken && tunnel};
    Settle();
    return true;
  }
  // Ours back already: a guard watches them until they are off (a program
  // that keeps putting them back may outlast any retry of ours).
  state_ = Back{known};
  if (known && !guard_->Watching()) guard_->Rearm();
  Settle();
  // (Already known to be back: the retry due may be a long back-off's.)
  RetryAfter(was_back ? kBackAgainRetryMs : 0);
  if (!was_back) {
    WriteLog(ports_, known ? "our proxy values are on again, with no tunnel; switching them off"
                           : "the proxy values cannot be read now; looking again");
  }
  return true;
}

void ProxyOwner::Changed() {
  ProxySettingsPort& settings = *ports_.proxy_settings;
  settings.WatchChanges(true);  // for the next change
  if (IsOn()) {
    Recheck();
    return;
  }
  // No tunnel: our values are switched off if they came back, a job under
  // way or not (a guard it armed is its own end's to release).
  bool known = false;
  if (!OurValuesOn(&known)) {
    // A key that cannot be read now may hold ours (a change was told):
    // looked at again, and a guard watches meanwhile.
    if (!known && retryAfter_) {
      if (std::holds_alternative<Off>(state_)) state_ = Back{};
      if (Back* back = std::get_if<Back>(&state_)) {
        if (!back->guarded) guard_->Rearm();
        back->guarded = true;
      }
      RetryAfter(kFirstProxyOffRetryMs);
    }
    return;
  }
  WriteLog(ports_,
           "our proxy values came back with no tunnel (another program restored them): "
           "switching them off");
  SwitchOff();
}

void ProxyOwner::Recheck() {
  On* on = std::get_if<On>(&state_);
  if (on == nullptr) return;
  ProxySettingsPort& settings = *ports_.proxy_settings;
  on->unread = !settings.OpenSettingsKeyToCheck();
  if (on->unread) {
    // Not readable now: looked at again, so that "status" tells the truth.
    settings.CloseSettingsKey();
    RetryAfter(kFirstProxyOffRetryMs);
    return;
  }
  uint32_t enable = 0;
  std::wstring server;
  std::wstring script;
  settings.ReadDwordValue(L"ProxyEnable", &enable);
  settings.ReadStringValue(L"ProxyServer", &server);
  on->script = settings.ReadStringValue(L"AutoConfigURL", &script) && !script.empty();
  settings.CloseSettingsKey();
  const bool ours = enable == 1 && server == LocalProxyEndpoint::kSystemProxyServer;
  if (ours == !on->takenOver) return;
  on->takenOver = !ours;
  WriteLog(ports_, on->takenOver ? "another program changed the system proxy (ProxyEnable " +
                                       std::to_string(enable) + ", ProxyServer " + LogData(server) +
                                       "): tessarin is no longer in use"
                                 : "the system proxy is ours again");
}

void ProxyOwner::Retry() {
  if (const On* on = std::get_if<On>(&state_)) {
    if (on->unread) Recheck();
    return;
  }
  if (std::holds_alternative<Off>(state_)) return;
  // Put back, or a switch-off still to complete: tried now, a job under way
  // or not. (Values back again after this one are news: told, and tried
  // soon again, never in a loop with the program that puts them back.)
  const bool back = std::holds_alternative<Back>(state_);
  if (back) state_ = Off{};
  SwitchOff();
  if (back && std::holds_alternative<Back>(state_)) RetryAfter(kBackAgainRetryMs);
}

void ProxyOwner::GuardExited() {
  if (!WantsGuard()) return;
  WriteLog(ports_, "the guard ended while the proxy may be on; starting it again");
  guard_->Rearm();
}

void ProxyOwner::JobEnded() {
  uint32_t jobs = jobsArming_.load();
  while (jobs > 0 && !jobsArming_.compare_exchange_weak(jobs, jobs - 1)) {
  }
  Settle();
}

ProxyOwner::SwitchedOn ProxyOwner::ConnectSwitchOn(bool guard_armed) {
  // A guard that ended since, and could not be started again, fails it.
  if (guard_armed && guard_->Lost()) {
    WriteLog(ports_,
             "the guard ended before the switch-on and none watches now: the proxy stays off");
    return SwitchedOn::kGuardLost;
  }
  return SwitchOn() ? SwitchedOn::kOn : SwitchedOn::kFailed;
}

bool ProxyOwner::HealBegins(bool quick) {
  if (!IsOn()) return false;
  // The values as they are, not only as notices told: one still on its way
  // (the user's own untick, say) is not to be undone by the heal. (A look
  // that throws is none: they go off.)
  try {
    Recheck();
  } catch (...) {
    quick = false;
  }
  if (quick && !TakenOver() && !Unread()) return true;
  SwitchOff(true);
  return false;
}

void ProxyOwner::QuickRestartOver() {
  if (!IsOn()) return;
  WriteLog(ports_,
           "the heal takes longer than a quick restart: the system proxy off until the "
           "tunnel is back");
  // (A change found meanwhile is judged a takeover: the heal's end keeps it.)
  SwitchOff(true);
}

ProxyOwner::HealedOn ProxyOwner::HealSwitchOn(bool guard_armed, std::string* why) {
  // Another program that set its proxy meanwhile keeps it, switched on or
  // off since (the heal's switch-off left our server there): only a connect
  // the user asks for takes it back. A key that cannot be read may hold
  // one: not written over either. Values a quick restart left on and
  // someone switched off (the user's untick, say) stay off too.
  uint32_t enable = 0;
  std::wstring server;
  const bool read = ReadValues(&enable, &server);
  const bool left_on = IsOn();
  const bool ours = server == LocalProxyEndpoint::kSystemProxyServer;
  if (!read || !ours || TakenOver() || (left_on && enable != 1)) {
    *why = !read                  ? "the proxy settings cannot be read: another program's proxy "
                                    "may be on"
           : ours && !TakenOver() ? "the system proxy was switched off meanwhile"
                                  : "another program set its proxy meanwhile";
    return HealedOn::kRefused;
  }
  if ((guard_armed && guard_->Lost()) || !SwitchOn()) {
    *why = "the proxy could not be switched on under a guard";
    return HealedOn::kFailed;
  }
  return left_on ? HealedOn::kOnThroughout : HealedOn::kOn;
}

void ProxyOwner::AtTeardown() {
  if (IsOn()) {
    SwitchOff(true, true);
  } else {
    // (A key that cannot be read now may hold ours: the switch-off looks.)
    bool known = false;
    if (OffPending() || OurValuesOn(&known) || !known) SwitchOff();
  }
  GuardWhatCameBack();
}

void ProxyOwner::GuardWhatCameBack() {
  Back* back = std::get_if<Back>(&state_);
  if (back == nullptr || (back->guarded && guard_->Watching())) return;
  guard_->Rearm();
  back->guarded = true;
}

void ProxyOwner::ProgramEnds() {
  // Values put back while the window went were never told: read once more.
  bool known = false;
  if (std::holds_alternative<Off>(state_) && OurValuesOn(&known) == false && known) {
    guard_->Release(resetKept_);
    return;
  }
  // Still on, or put back the moment they went: a guard must watch before
  // the process goes (a re-arm's thread could die with it). The window is
  // gone: waiting is allowed.
  if (!SwitchOff() || std::holds_alternative<Back>(state_)) {
    guard_->Arm();
    return;
  }
  // (Nothing runs after this: a guard a job still running armed goes too.)
  guard_->Release(resetKept_);
}

bool ProxyOwner::ReadValues(uint32_t* enable, std::wstring* server) {
  ProxySettingsPort& settings = *ports_.proxy_settings;
  const bool read = settings.OpenSettingsKeyToCheck();
  if (read) {
    settings.ReadDwordValue(L"ProxyEnable", enable);
    settings.ReadStringValue(L"ProxyServer", server);
  }
  settings.CloseSettingsKey();
  return read;
}

bool ProxyOwner::OurValuesOn(bool* known) {
  uint32_t enable = 0;
  std::wstring server;
  const bool read = ReadValues(&enable, &server);
  if (known != nullptr) *known = read;
  return read && enable == 1 && server == LocalProxyEndpoint::kSystemProxyServer;
}

}  // namespace tessarin
