// A tunnel that heals itself: after the machine resumed or the network
// changed, one probe attempt through the running core; a core that is gone,
// or carries nothing, is started again from the same document, the session
// kept. Failed heals are tried again after a back-off, and bounded, so that
// a core that keeps failing stops the tunnel.
#include <algorithm>

#include "channel/diagnostics.h"
#include "tunnel/core_process.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/local_proxy_endpoint.h"
#include "tunnel/tunnel_bridge.h"

namespace tessarin {

namespace {

// Heals that fail, or whose tunnel fails again before it held this long,
// count in a row; this many stop the tunnel. Between them, a back-off that
// doubles from 1 s to 8 s.
constexpr uint64_t kHealHeldMs = 60 * 1000;
constexpr uint32_t kMostFailedHeals = 5;
constexpr uint32_t kFirstHealBackOffMs = 1000;
constexpr uint32_t kLongestHealBackOffMs = 8000;
constexpr const char kKeptFailing[] =
    "; the core kept failing (5 heals in a row did not hold), not healed again";
// A first heal may leave our proxy on this long, traffic waiting rather than
// going around the tunnel (a notice of the core's end may come late: under
// the 2 s nothing may point at a dead port).
constexpr uint64_t kQuickRestartMs = 1500;
constexpr const char kSignInPage[] =
    "; the network is back but the node cannot be reached through it (a sign-in page, say): the "
    "tunnel stopped so that the browser can reach it";

}  // namespace

void TunnelBridge::WorldChanged(const char* what, bool resumed) {
  // The wait for the network looks now.
  if (Offline* offline = std::get_if<Offline>(&state_)) {
    offline->run.job->signal->Renew(ports_.system->SteadyMs());
    return;
  }
  // A job that may have looked before the change: looked at once more after.
  // After a sleep, what its probe measured before is no guide.
  bool* later = nullptr;
  if (Connecting* connect = std::get_if<Connecting>(&state_)) later = &connect->lookAgain;
  if (Checking* check = std::get_if<Checking>(&state_)) later = &check->lookAgain;
  if (Healing* heal = std::get_if<Healing>(&state_)) later = &heal->lookAgain;
  if (SwitchingOn* on = std::get_if<SwitchingOn>(&state_)) {
    WriteLog(ports_, std::string(what) + " while the proxy goes on: checked again after it");
    on->lookAgain = true;
    return;
  }
  if (later != nullptr) {
    WriteLog(ports_, std::string(what) + " while a job runs: checked again after it");
    *later = true;
    if (resumed) Run()->job->signal->Renew(ports_.system->SteadyMs());
    return;
  }
  Connected* up = std::get_if<Connected>(&state_);
  if (up == nullptr) return;
  WriteLog(ports_, std::string(what) + ": checking the tunnel");
  auto job = std::make_shared<CoreJob>();
  job->checkCore = up->tunnel.core;
  job->lookAtNetwork = true;
  job->began = ports_.system->SteadyMs();
  Checking next;
  next.run.job = std::move(job);
  next.tunnel = std::move(up->tunnel);
  StartJob(std::move(next));
}

void TunnelBridge::FinishCheck(Checking& done) {
  const CoreJob& job = *done.run.job;
  const uint32_t core = done.tunnel.core;
  state_ = Connected{std::move(done.tunnel)};
  // (A disconnect or a connect stopped it; its own turn comes next.)
  if (job.signal->Cancelled()) return;
  const bool alive = IsCoreAlive(*ports_.processes, core);
  if (job.outcome == CoreJob::Outcome::kReady && alive) {
    std::get<Connected>(state_).tunnel.networkBack = false;
    WriteLog(ports_, "the tunnel carries traffic (checked in " +
                         std::to_string(ports_.system->SteadyMs() - job.began) + " ms)");
    return;
  }
  // Nothing is reachable: no heal could help, and nothing leaks meanwhile.
  if (alive && job.noNetwork) {
    WriteLog(ports_, "the check found no traffic and no network");
    AwaitNetwork(std::move(std::get<Connected>(state_).tunnel), false);
    return;
  }
  // (What a resume or a network change broke is no failure of the last
  // heal's: it held until then.)
  Heal(alive ? "the check found no traffic through the core" : "the core exited", HealRow::kAfresh);
}

void TunnelBridge::AwaitNetwork(Tunnel tunnel, bool after_heal) {
  // Made while a check's state still owns the core: a throw leaves it to the
  // rollback.
  auto job = std::make_shared<CoreJob>();
  job->awaitNetwork = true;
  job->began = ports_.system->SteadyMs();
  state_ = Idle{};
  if (tunnel.core == 0 || !IsCoreAlive(*ports_.processes, tunnel.core)) {
    if (tunnel.core != 0) ports_.processes->Terminate(tunnel.core, 0);
    tunnel.core = 0;
    SwitchOffIfOn();
  }
  WriteLog(ports_, "no network: the tunnel waits for it" +
                       std::string(tunnel.core != 0 ? ", the core and the system proxy as they are"
                                                    : ", the system proxy off"));
  Offline next;
  next.tunnel = std::move(tunnel);
  next.run.job = std::move(job);
  next.afterHeal = after_heal;
  StartJob(std::move(next));
}

void TunnelBridge::FinishOffline(Offline& done) {
  const uint32_t core = done.tunnel.core;
  const bool alive = core != 0 && IsCoreAlive(*ports_.processes, core);
  // Stopped by the user's call, whose turn comes next: the tunnel as it is,
  // or none when its core is gone.
  if (done.run.job->signal->Cancelled() || done.run.job->outcome != CoreJob::Outcome::kReady) {
    if (alive) {
      state_ = Connected{std::move(done.tunnel)};
      return;
    }
    // (Its values went off with its core: none to judge again.)
    WriteLog(ports_, "tunnel stopped: no network, and the wait for it stopped");
    if (core != 0) ports_.processes->Terminate(core, 0);
    SwitchOffIfOn();
    return;
  }
  done.tunnel.networkBack = true;
  state_ = Connected{std::move(done.tunnel)};
  if (alive) {
    WorldChanged("the network is back");
    return;
  }
  // (The spell with no network is no failure of the tunnel's: a row of
  // failed heals before it goes on, one that a check began starts afresh.)
  Heal("the network is back and the core is gone",
       done.afterHeal ? HealRow::kKept : HealRow::kAfresh);
}

void TunnelBridge::Heal(const std::string& why, HealRow row) {
  Tunnel& tunnel = std::get<Connected>(state_).tunnel;
  // (Held time counts a sleep: a tunnel that worked until one held.)
  const uint64_t now = ports_.system->TicksMs();
  // The values as the owner last knew them; what it finds at the heal's
  // start (the user's untick still on its way, say) it judges itself, and
  // the heal's switch-on then leaves it as it is.
  const ProxyOwner::View view = owner_.Look();
  const bool unread = view.unread;
  // A tunnel that held since a heal brought it up: that heal worked, and the
  // row starts afresh (a network blip costs nothing). One that fails again
  // soon after did not hold. (A connect's tunnel starts a row.)
  const uint32_t failed =
      row == HealRow::kKept ? tunnel.failedHeals
      : row == HealRow::kAfresh || !tunnel.healed || now - tunnel.upSince >= kHealHeldMs
          ? 0
          : tunnel.failedHeals + 1;
  // Not healed: the user's disconnect or connect already waits; another
  // program has the proxy (a heal would take it back); the core kept failing.
  bool disconnecting = false;
  bool connecting = false;
  for (const WaitingCall& call : waiting_) {
    disconnecting |= call.call && call.call->MethodName() == "disconnect";
    connecting |= call.call && call.call->MethodName() == "connect" && UsableConnect(*call.call);
  }
  const char* instead = disconnecting    ? "; a disconnect waits"
                        : connecting     ? "; a connect waits"
                        : view.takenOver ? "; another program has the system proxy"
                        : unread
                            ? "; the proxy settings cannot be read: another program may have them"
                        : tunnel.config.empty()      ? ""
                        : failed >= kMostFailedHeals ? kKeptFailing
                                                     : nullptr;
  if (instead != nullptr) {
    const uint32_t core = tunnel.core;
    state_ = Idle{};
    StopTunnel((why + instead).c_str(), core);
    return;
  }
  WriteLog(ports_, "healing the tunnel: " + why);
  // Made while the tunnel still owns its core: a throw leaves it to a stop.
  std::shared_ptr<CoreJob> job = HealJob(tunnel, failed);
  // As a reconnect: the state first, the job owns the old core (one that
  // ended is only let go of), and the session stays. Nothing of ours
  // listens until the new core does: a first heal leaves the proxy on for a
  // quick restart (traffic waits, never goes around the tunnel), briefly;
  // otherwise it goes off now.
  Tunnel healed = std::move(tunnel);
  state_ = Idle{};
  const bool quick =
      failed == 0 && view.on && !view.takenOver && !unread && ports_.worker != nullptr;
  Tell([quick](ProxyOwner& owner) { owner.HealBegins(quick); });
  StartHeal(std::move(healed), std::move(job), failed);
  Healing* heal = std::get_if<Healing>(&state_);
  if (!quick) return;
  if (heal == nullptr) {  // (no heal could start: nothing of ours listens)
    SwitchOffIfOn();
    return;
  }
  heal->proxyOnUntil = ports_.system->SteadyMs() + kQuickRestartMs;
  ports_.worker->RetryAfter(static_cast<uint32_t>(kQuickRestartMs));
}

std::shared_ptr<CoreJob> TunnelBridge::HealJob(const Tunnel& tunnel, uint32_t failed) const {
  std::shared_ptr<CoreJob> job = ConnectJob(CoreExecutablePath(appDirectory), tunnel.config);
  job->began = ports_.system->SteadyMs();
  job->lookAtNetwork = true;
  job->pauseFirstMs =
      failed == 0 ? 0 : std::min(kFirstHealBackOffMs << (failed - 1), kLongestHealBackOffMs);
  job->oldCore = tunnel.core;
  return job;
}

void TunnelBridge::StartHeal(Tunnel tunnel, std::shared_ptr<CoreJob> job, uint32_t failed) {
  tunnel.core = 0;
  tunnel.failedHeals = failed;
  Healing next;
  next.tunnel = std::move(tunnel);
  next.run.job = std::move(job);
  StartJob(std::move(next));
}

void TunnelBridge::FinishHeal(Healing& done) {
  using Outcome = CoreJob::Outcome;
  const CoreJob& job = *done.run.job;
  // A core it kept is ours before anything that can throw: a rollback then
  // ends it.
  const uint32_t core = job.outcome == Outcome::kReady ? job.coreProcessId : 0;
  if (core != 0) {
    done.tunnel.core = core;
    SwitchingOn on;
    on.tunnel = std::move(done.tunnel);
    state_ = std::move(on);
  }
  const std::string took = std::to_string(ports_.system->SteadyMs() - job.began) + " ms";
  if (job.signal->Cancelled() || job.outcome == Outcome::kCancelled) {
    EndHeal(core, took, "stopped by the user's call");
    return;
  }
  // Nothing is reachable: no heal could help; it waits for the network,
  // and this one does not count.
  if (job.outcome == Outcome::kProbeFailed && job.noNetwork) {
    WriteLog(ports_, "the heal found no network after " + took);
    AwaitNetwork(std::move(done.tunnel), true);
    return;
  }
  if (job.outcome != Outcome::kReady) {
    HealAgain(done, took,
              job.outcome == Outcome::kExitedAtOnce  ? "the new core exited at once"
              : job.outcome == Outcome::kProbeFailed ? "the new core did not carry traffic"
                                                     : "the new core could not be started");
    return;
  }
  // Looked at again before and after the switch-on, as a connect's.
  if (!IsCoreAlive(*ports_.processes, core)) {
    done.tunnel = std::move(std::get<SwitchingOn>(state_).tunnel);
    state_ = Idle{};
    HealAgain(done, took, "the new core exited before the switch-on");
    return;
  }
  // Ours on again, unless someone changed the values meanwhile: the
  // owner's step, whose answer goes on below (calls wait meanwhile).
  SwitchingOn& switching = std::get<SwitchingOn>(state_);
  switching.took = took;
  const bool armed = job.guardArmed;
  switching.done = std::move(done.run);
  switching.ask = ++asks_;
  const uint64_t ask = switching.ask;
  // (The step only hands its answer back: it touches nothing of the bridge.)
  TunnelBridge* self = this;
  owner_.Post([self, ask, armed, withdrawn = withdrawn_](
                  ProxyOwner& owner, std::function<void(OwnerThread::Answer)>& answer) {
    ProxyOwner::HealedOn on = ProxyOwner::HealedOn::kFailed;
    std::string why = "the proxy could not be switched on under a guard";
    if (withdrawn->load() < ask) {
      flutter::RunAtBoundary("Exception switching the proxy on: ",
                             [&] { on = owner.HealSwitchOn(armed, &why); });
    }
    answer([self, ask, on, why] { self->HealSwitchedOn(ask, on, why); });
  });
}

void TunnelBridge::HealSwitchedOn(uint64_t ask, ProxyOwner::HealedOn on, const std::string& why) {
  SwitchingOn* switching = std::get_if<SwitchingOn>(&state_);
  if (switching == nullptr || switching->ask != ask) return;  // (a close came first)
  const uint32_t core = switching->tunnel.core;
  const std::string took = switching->took;
  bool look_again = switching->lookAgain;
  const bool done = flutter::RunAtBoundary("Exception in a tunnel call: ", [&] {
    if (on == ProxyOwner::HealedOn::kRefused || on == ProxyOwner::HealedOn::kFailed) {
      EndHeal(core, took, why);
      return;
    }
    Connected up{std::move(switching->tunnel)};
    up.tunnel.upSince = ports_.system->TicksMs();
    up.tunnel.healed = true;
    up.tunnel.networkBack = false;
    state_ = std::move(up);
    WriteLog(ports_,
             "tunnel healed in " + took + ": core " + std::to_string(core) + ", the same session" +
                 (on == ProxyOwner::HealedOn::kOnThroughout ? ", the system proxy on throughout"
                                                            : std::string()));
  });
  if (!done) RollBack(nullptr);
  look_again &= std::holds_alternative<Connected>(state_);
  // A core that ended while the owner switched ours on (its notice found
  // no tunnel then) heals again: it did not hold.
  if (std::holds_alternative<Connected>(state_) && !IsCoreAlive(*ports_.processes, core)) {
    Heal("the core exited");
    look_again = false;
  }
  DispatchWaiting();
  if (look_again) WorldChanged("the machine or its network changed during a heal");
}

void TunnelBridge::EndHeal(uint32_t core, const std::string& took, const std::string& why) {
  // The heal's end, the tunnel's with it: a core it kept goes to a job of
  // its own first, before anything more can throw.
  const std::string line = "tunnel stopped: the heal failed after " + took + " (" + why + ")";
  state_ = Idle{};
  if (core != 0) EndCoreThenAnswer(core, StopReply::kIdle, nullptr);
  WriteLog(ports_, line);
  SwitchOffIfOn();
}

void TunnelBridge::HealAgain(Healing& done, const std::string& took, const std::string& why) {
  SwitchOffIfOn();
  const uint32_t failed = done.tunnel.failedHeals + 1;
  if (failed >= kMostFailedHeals) {
    WriteLog(ports_, "tunnel stopped: the heal failed after " + took + " (" + why +
                         "); 5 heals in a row failed, not healed again" +
                         (done.tunnel.networkBack ? kSignInPage : ""));
    // (One that exited is only let go of.)
    if (done.tunnel.core != 0) ports_.processes->Terminate(done.tunnel.core, 0);
    return;
  }
  WriteLog(ports_, "the heal failed after " + took + " (" + why + "); healing again, " +
                       std::to_string(failed) + " of " + std::to_string(kMostFailedHeals) +
                       " failed in a row");
  std::shared_ptr<CoreJob> job;
  flutter::RunAtBoundary("Exception making a heal: ", [&] { job = HealJob(done.tunnel, failed); });
  if (!job) {
    // No heal to be had: the tunnel stops. (Its core, if any, has ended.)
    if (done.tunnel.core != 0) ports_.processes->Terminate(done.tunnel.core, 0);
    return;
  }
  // (The guard its job armed stays for the next one.)
  StartHeal(std::move(done.tunnel), std::move(job), failed);
}

}  // namespace tessarin
