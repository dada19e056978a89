#include "tunnel/tunnel_bridge.h"

#include <algorithm>
#include <type_traits>

#include "channel/diagnostics.h"
#include "channel/standard_method_codec.h"
#include "tunnel/core_config.h"
#include "tunnel/core_process.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/local_proxy_endpoint.h"
#include "tunnel/status_reports.h"
#include "tunnel/system_proxy.h"

namespace tessarin {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

namespace {

// For a bridge with no guard: nothing to arm or release.
class NoGuard : public ProxyGuardPort {
 public:
  void Arm() override {}
  void Rearm() override {}
  void Release(bool) override {}
};

ProxyGuardPort* GuardOrNone(ProxyGuardPort* guard) {
  static NoGuard none;
  return guard != nullptr ? guard : &none;
}

// At a session's end or the program's, how long the owner's last steps (a
// switch-off, say) are waited for; the guard covers what is left.
constexpr uint32_t kLastSwitchOffMs = 500;

}  // namespace

TunnelBridge::TunnelBridge(OsPorts ports)
    : ports_(ports), guard_(GuardOrNone(ports.guard)), owner_(ports, guard_) {}

TunnelBridge::~TunnelBridge() = default;

TunnelBridge::PendingJob* TunnelBridge::RunIn(Lifecycle& state) {
  return std::visit(
      [](auto& in) -> PendingJob* {
        using State = std::decay_t<decltype(in)>;
        if constexpr (std::is_same_v<State, Connecting> || std::is_same_v<State, Checking> ||
                      std::is_same_v<State, Healing> || std::is_same_v<State, Offline> ||
                      std::is_same_v<State, Stopping>) {
          return &in.run;
        } else {
          return nullptr;
        }
      },
      state);
}

TunnelBridge::PendingJob* TunnelBridge::Run() { return RunIn(state_); }

const TunnelBridge::PendingJob* TunnelBridge::Run() const {
  return RunIn(const_cast<Lifecycle&>(state_));
}

const TunnelBridge::Tunnel* TunnelBridge::Live() const {
  if (const Connected* up = std::get_if<Connected>(&state_)) return &up->tunnel;
  if (const Checking* check = std::get_if<Checking>(&state_)) return &check->tunnel;
  // (One whose core is gone is not running: it is as a heal's.)
  if (const Offline* offline = std::get_if<Offline>(&state_); offline && offline->tunnel.core) {
    return &offline->tunnel;
  }
  return nullptr;
}

uint32_t TunnelBridge::coreProcessId() const {
  if (const SwitchingOn* on = std::get_if<SwitchingOn>(&state_)) return on->tunnel.core;
  const Tunnel* tunnel = Live();
  return tunnel != nullptr ? tunnel->core : 0;
}

const std::string& TunnelBridge::sessionId() const {
  static const std::string none;
  if (const Healing* heal = std::get_if<Healing>(&state_)) return heal->tunnel.session;
  if (const Offline* offline = std::get_if<Offline>(&state_)) return offline->tunnel.session;
  if (const SwitchingOn* on = std::get_if<SwitchingOn>(&state_)) return on->tunnel.session;
  const Tunnel* tunnel = Live();
  return tunnel != nullptr ? tunnel->session : none;
}

TunnelBridge::CallResult::CallResult(std::unique_ptr<flutter::MethodResult> inner,
                                     const OsPorts& ports, const std::string& method)
    : inner_(std::move(inner)),
      ports_(ports),
      method_(LogSafe(method)),
      began_(ports.system->SteadyMs()) {}

TunnelBridge::CallResult::~CallResult() {
  if (!answered_) Log("no reply, the window closed first");
}

bool TunnelBridge::CallResult::Answer(const char* how) {
  if (!answered_) return true;
  flutter::LogLineNoThrow("A tunnel call was answered twice; the second answer was dropped: ", how);
  return false;
}

// Answered only once the answer went out: one that throws on its way (its
// encoding, say) leaves the call to the boundary's fallback.
void TunnelBridge::CallResult::Success(const EncodableValue* result) {
  if (!Answer("success")) return;
  inner_->Success(result);
  answered_ = true;
  Log("success");
}

void TunnelBridge::CallResult::Error(const std::string& code, const std::string& message,
                                     const EncodableValue* details) {
  if (!Answer("error")) return;
  inner_->Error(code, message, details);
  answered_ = true;
  Log("error " + code);
}

void TunnelBridge::CallResult::NotImplemented() {
  if (!Answer("not implemented")) return;
  inner_->NotImplemented();
  answered_ = true;
  Log("not implemented");
}

void TunnelBridge::CallResult::Log(const std::string& outcome) noexcept {
  if (ports_.log == nullptr) return;
  flutter::RunAtBoundary("Exception logging a reply: ", [&] {
    WriteLog(ports_, "call " + method_ + ": " + outcome + ", " +
                         std::to_string(ports_.system->SteadyMs() - began_) + " ms");
  });
}

void TunnelBridge::Initialize() {
  appDirectory = ApplicationDirectory(*ports_.system);
  configPath = CoreConfigPath(appDirectory);
  // From here on the owner has a thread of its own (or, with none, runs here).
  owner_.Start();
  Tell([ports = ports_, directory = appDirectory](ProxyOwner& owner) {
    if (ports.log != nullptr) {
      uint32_t enable = 0;
      std::wstring server;
      owner.ReadValues(&enable, &server);
      WriteLog(ports, "application directory " + LogText(directory) + "; the system proxy was " +
                          (enable == 1 ? "on (" + LogData(server) + "), switching it off" : "off"));
    }
    // Every start clears a proxy a crashed run (or anything else) left on.
    owner.SwitchOff();
  });
}

void TunnelBridge::Tell(std::function<void(ProxyOwner&)> step) {
  owner_.Post([step = std::move(step)](ProxyOwner& owner,
                                       std::function<void(OwnerThread::Answer)>&) { step(owner); });
}

void TunnelBridge::AnswerAfterOwner(std::unique_ptr<CallResult> result, StopReply reply) {
  if (!result) return;
  Answering next;
  next.result = std::move(result);
  next.reply = reply;
  next.ask = ++asks_;
  const uint64_t ask = next.ask;
  state_ = std::move(next);
  // (The step only hands the answer back: it touches nothing of the bridge.)
  TunnelBridge* self = this;
  const bool posted = flutter::RunAtBoundary("Exception asking the proxy's owner: ", [&] {
    owner_.Post([self, ask](ProxyOwner&, std::function<void(OwnerThread::Answer)>& answer) {
      answer([self, ask] { self->Answered(ask); });
    });
  });
  // (With no step to wait for, answered now.)
  if (!posted) Answered(ask);
}

void TunnelBridge::Answered(uint64_t ask) {
  Answering* waits = std::get_if<Answering>(&state_);
  if (waits == nullptr || waits->ask != ask) return;  // (dropped at a close)
  Answering done = std::move(*waits);
  state_ = Idle{};
  flutter::RunAtBoundary("Exception in a tunnel call: ", [&] {
    if (done.reply == StopReply::kIdle) {
      const EncodableValue idle(IdleStatus());
      done.result->Success(&idle);
    } else if (done.reply == StopReply::kProxyFailed) {
      done.result->Error("PROXY_FAILED", "Failed to enable Windows proxy.", nullptr);
    } else {  // a rollback's
      done.result->Error("INTERNAL_ERROR", "The native handler failed.", nullptr);
    }
  });
  AnswerFailed(std::move(done.result));
  DispatchWaiting();
}

void TunnelBridge::InstallChannel(flutter::BinaryMessenger* messenger) {
  channel_ = std::make_unique<flutter::MethodCallChannel>(
      messenger, kTunnelChannelName, &flutter::StandardMethodCodec::SharedInstance());
  channel_->SetCallHandler(
      [this](const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result) {
        HandleTunnelCall(call, std::move(result));
      });
}

void TunnelBridge::HandleTunnelCall(const flutter::MethodCall& call,
                                    std::unique_ptr<flutter::MethodResult> result) {
  std::unique_ptr<CallResult> answer;
  // Without even this much memory the call is answered by the channel's
  // own boundary, which sees the throw.
  answer = std::make_unique<CallResult>(std::move(result), ports_, call.MethodName());
  if (Busy()) {
    const std::string& method = call.MethodName();
    const bool checked_or_healed = std::holds_alternative<Checking>(state_) ||
                                   std::holds_alternative<Healing>(state_) ||
                                   std::holds_alternative<Offline>(state_);
    // What never depends on the tunnel is never held behind a job; nor,
    // behind a check or a heal (which may run for minutes with its
    // back-offs), is a status (it tells how things stand meanwhile) or what
    // is refused without touching the tunnel. Behind calls that wait, each
    // keeps its turn.
    const bool stops_it = method == "disconnect" || (method == "connect" && UsableConnect(call));
    if (method == "prepare" || method == "requestPermission" ||
        (checked_or_healed && waiting_.empty() && !stops_it)) {
      DispatchAtBoundary(call, std::move(answer));
      return;
    }
    // The user's disconnect, or a connect (to any node) that can run, does
    // not wait for a check or a heal to run its course: it stops it, and
    // is handled once it has stopped.
    if (checked_or_healed && stops_it) {
      WriteLog(ports_, "the tunnel's check or heal stopped: " + method);
      Run()->job->signal->Cancel();
    }
    Queue(call, std::move(answer));
    return;
  }
  DispatchAtBoundary(call, std::move(answer));
}

bool TunnelBridge::UsableConnect(const flutter::MethodCall& call) const {
  // What the connect itself refuses before it touches a running tunnel.
  const flutter::EncodableValueMap* request =
      call.Arguments() ? call.Arguments()->TryGet<flutter::EncodableValueMap>() : nullptr;
  return request != nullptr &&
         CoreExecutableExists(*ports_.system, CoreExecutablePath(appDirectory)) &&
         !BuildCoreConfig(*request).empty() && !ports_.proxy_settings->MachinePolicyOverridesUser();
}

void TunnelBridge::Queue(const flutter::MethodCall& call, std::unique_ptr<CallResult> answer) {
  const bool queued = flutter::RunAtBoundary("Exception queueing a tunnel call: ", [&] {
    const EncodableValue* args = call.Arguments();
    auto kept = std::make_unique<flutter::MethodCall>(
        call.MethodName(), args ? std::make_unique<EncodableValue>(*args) : nullptr);
    // The answer moves only once the queue has room for it.
    waiting_.emplace_back();
    waiting_.back().call = std::move(kept);
    waiting_.back().result = std::move(answer);
  });
  if (!queued) AnswerFailed(std::move(answer));
}

void TunnelBridge::DispatchAtBoundary(const flutter::MethodCall& call,
                                      std::unique_ptr<CallResult> result) {
  if (flutter::RunAtBoundary("Exception in a tunnel call: ", [&] { Dispatch(call, result); })) {
    return;
  }
  // Still ours (no job took it) and not answered yet: answered here, and the
  // calls behind it go on.
  AnswerFailed(std::move(result));
}

void TunnelBridge::Dispatch(const flutter::MethodCall& call, std::unique_ptr<CallResult>& result) {
  const std::string& method = call.MethodName();
  if (method == "prepare" || method == "requestPermission") {
    const EncodableValue readiness(ReadinessStatus(*ports_.system));
    result->Success(&readiness);
  } else if (method == "status") {
    // A core found gone is healed first; the status tells how that went.
    const Connected* up = std::get_if<Connected>(&state_);
    if (up != nullptr && !IsCoreAlive(*ports_.processes, up->tunnel.core)) {
      Heal("status found the core gone");
    }
    Status(*result);
  } else if (method == "connect") {
    ConnectSequence(call, result);
  } else if (method == "disconnect") {
    Disconnect(result);
  } else {
    result->NotImplemented();
  }
}

void TunnelBridge::StartJob(Lifecycle next) {
  PendingJob& run = *RunIn(next);
  const std::shared_ptr<CoreJob> job = run.job;
  // A job that may arm the guard: its end is the guard's to release (told
  // before it can arm).
  if (job->connect) owner_.JobBegins();
  // The state holds the job only once the worker has it: a start that fails
  // leaves nothing that waits for an end that never comes.
  const bool started = flutter::RunAtBoundary("Exception starting a core job: ", [&] {
    if (ports_.worker != nullptr) ports_.worker->Start(job);
  });
  if (!started) {
    if (job->connect) Tell([](ProxyOwner& owner) { owner.JobEnded(); });
    // A check that never ran leaves the tunnel as it was.
    if (Checking* check = std::get_if<Checking>(&next)) {
      state_ = Connected{std::move(check->tunnel)};
      return;
    }
    // Nor does a wait for the network that never began (its values went
    // off with its core, if that is gone).
    if (Offline* offline = std::get_if<Offline>(&next)) {
      if (offline->tunnel.core != 0) {
        state_ = Connected{std::move(offline->tunnel)};
        return;
      }
      WriteLog(ports_, "tunnel stopped: no network, and no wait for it could start");
      return;
    }
    // Nothing of the job runs: the core it was to end goes now.
    if (job->oldCore != 0) ports_.processes->Terminate(job->oldCore, 0);
    AnswerFailed(std::move(run.result));
    return;
  }
  state_ = std::move(next);
  if (ports_.worker == nullptr) {
    RunCoreJob(*job, ports_);
    JobFinished();
  }
}

void TunnelBridge::EndCoreThenAnswer(uint32_t core, StopReply reply,
                                     std::unique_ptr<CallResult> result) {
  std::shared_ptr<CoreJob> stop;
  flutter::RunAtBoundary("Exception making a core's end: ", [&] {
    stop = std::make_shared<CoreJob>();
    stop->oldCore = core;
  });
  if (stop) {
    Stopping next;
    next.run.job = std::move(stop);
    next.run.result = std::move(result);
    next.reply = reply;
    StartJob(std::move(next));
    return;
  }
  ports_.processes->Terminate(core, 0);
  AnswerFailed(std::move(result));
}

void TunnelBridge::AnswerFailed(std::unique_ptr<CallResult> result) {
  if (!result || result->Answered()) return;
  flutter::RunAtBoundary("Exception answering a failed call: ", [&] {
    result->Error("INTERNAL_ERROR", "The native handler failed.", nullptr);
  });
}

void TunnelBridge::JobFinished() {
  // A cancelled job's end frees the way for the calls that waited for it.
  if (const Draining* draining = std::get_if<Draining>(&state_);
      draining != nullptr && draining->run.job->finished.load(std::memory_order_acquire)) {
    const bool connect = draining->run.job->connect && !draining->toldEnded;
    state_ = Idle{};
    if (connect) Tell([](ProxyOwner& owner) { owner.JobEnded(); });
  }
  bool look_again = false;
  const PendingJob* run = Run();
  if (run != nullptr && run->job->finished.load(std::memory_order_acquire)) {
    const bool arming = run->job->connect;
    // The step is left before its completion runs: each completion enters
    // the next state itself.
    Lifecycle done = std::move(state_);
    state_ = Idle{};
    std::unique_ptr<CallResult>& result = RunIn(done)->result;
    const bool answered = flutter::RunAtBoundary("Exception in a tunnel call: ", [&] {
      if (Connecting* connect = std::get_if<Connecting>(&done)) {
        look_again = connect->lookAgain;
        FinishConnect(*connect);
      } else if (Checking* check = std::get_if<Checking>(&done)) {
        look_again = check->lookAgain;
        FinishCheck(*check);
      } else if (Healing* heal = std::get_if<Healing>(&done)) {
        look_again = heal->lookAgain;
        FinishHeal(*heal);
      } else if (Offline* offline = std::get_if<Offline>(&done)) {
        FinishOffline(*offline);
      } else if (const Stopping* stop = std::get_if<Stopping>(&done)) {
        // (A rollback's call may be gone already.)
        AnswerAfterOwner(std::move(result), stop->reply);
      }
    });
    // A call already answered keeps what it was told; one that was not is
    // rolled back and told it failed.
    if (!answered && !(result && result->Answered())) RollBack(std::move(result));
    // (After what its completion asked of the owner.)
    if (arming) Tell([](ProxyOwner& owner) { owner.JobEnded(); });
  }
  // (A switch-on under way looks once it is done.)
  if (SwitchingOn* on = std::get_if<SwitchingOn>(&state_); on != nullptr && look_again) {
    on->lookAgain = true;
    look_again = false;
  }
  DispatchWaiting();
  // (A check under way may have looked before the change: looked at once
  // more, now or after whatever job runs next.)
  if (look_again) WorldChanged("the machine or its network changed during a job");
}

void TunnelBridge::DispatchWaiting() {
  // (A rollback's job, or one a waiting call starts, makes the rest wait.)
  while (!Busy() && !waiting_.empty()) {
    WaitingCall next = std::move(waiting_.front());
    waiting_.pop_front();
    DispatchAtBoundary(*next.call, std::move(next.result));
  }
}

void TunnelBridge::Status(flutter::MethodResult& result) {
  const Tunnel* live = Live();
  const Offline* waits = std::get_if<Offline>(&state_);
  const ProxyOwner::View view = owner_.Look();
  if (live != nullptr && waits == nullptr && IsCoreAlive(*ports_.processes, live->core)) {
    // What the system really does: another program's proxy, or a script
    // that may send traffic around ours.
    const std::string message =
        view.takenOver ? kTakenOverMessage
        : view.script  ? std::string("Windows system proxy is active. ") + kScriptNotice
                       : std::string("Windows system proxy is active.");
    const EncodableValue report(ActiveStatus(*ports_.system, live->session, message));
    result.Success(&report);
    return;
  }
  // A heal under way, a check that will start one, or a wait for the
  // network: the same session, not carrying traffic now.
  const Healing* heal = std::get_if<Healing>(&state_);
  const Tunnel* restarting = heal != nullptr ? &heal->tunnel : waits ? &waits->tunnel : live;
  if (restarting != nullptr && !std::holds_alternative<Connected>(state_)) {
    EncodableValueMap report = ActiveStatus(*ports_.system, restarting->session,
                                            waits ? kNoNetworkMessage : kRestartingMessage);
    report[EncodableValue("stage")] = EncodableValue(kRestartingStage);
    const EncodableValue value(std::move(report));
    result.Success(&value);
    return;
  }
  // The watchdog: a core that died takes the system proxy down with it.
  if (const Connected* up = std::get_if<Connected>(&state_)) {
    const uint32_t core = up->tunnel.core;
    state_ = Idle{};
    StopTunnel("status found the core gone", core);
  } else if (view.offPending) {
    Tell([](ProxyOwner& owner) {
      if (owner.OffPending()) owner.SwitchOff();
    });
  }
  const EncodableValue idle(IdleStatus());
  result.Success(&idle);
}

void TunnelBridge::Disconnect(std::unique_ptr<CallResult>& result) {
  const Connected* up = std::get_if<Connected>(&state_);
  if (up == nullptr) {
    Tell([](ProxyOwner& owner) { owner.SwitchOff(); });
    AnswerAfterOwner(std::move(result), StopReply::kIdle);
    return;
  }
  WriteLog(ports_, "tunnel stopped: disconnect");
  // The state goes first: whatever throws after, no tunnel is left known
  // to nobody, and the core is ended below.
  const uint32_t core = up->tunnel.core;
  state_ = Idle{};
  flutter::RunAtBoundary("Exception switching the proxy off: ",
                         [&] { Tell([](ProxyOwner& owner) { owner.SwitchOff(true); }); });
  // The core's end, with its wait, is the worker's; the reply follows it.
  EndCoreThenAnswer(core, StopReply::kIdle, std::move(result));
}

void TunnelBridge::Teardown(const char* why, bool engine_lives) {
  // While the engine lives (a session end that may yet be cancelled) every
  // dropped call is still answered; once it is gone nobody can be.
  auto drop = [&](std::unique_ptr<CallResult> result) {
    if (!engine_lives || !result || result->Answered()) return;
    flutter::RunAtBoundary("Exception answering a dropped call: ",
                           [&] { result->Error("UNAVAILABLE", kSessionEndingMessage, nullptr); });
  };
  // The running tunnel (a check's included, or one whose switch-on the owner
  // runs), stopped below; and a quick restart's values, which nothing else
  // would switch off.
  const Tunnel* live = Live();
  uint32_t core = live != nullptr ? live->core : 0;
  const bool restarting = std::holds_alternative<Healing>(state_) && owner_.Look().on;
  if (SwitchingOn* on = std::get_if<SwitchingOn>(&state_)) {
    core = on->tunnel.core;
    withdrawn_->store(on->ask);
    drop(std::move(on->done.result));
    state_ = Idle{};
  } else if (Answering* waits = std::get_if<Answering>(&state_)) {
    drop(std::move(waits->result));
    state_ = Idle{};
  }
  if (PendingJob* run = Run()) {
    WriteLog(ports_, std::string("job cancelled: ") + why);
    PendingJob job = std::move(*run);
    state_ = Idle{};
    drop(std::move(job.result));
    // A core the job already kept is ours to end; the job is done with the
    // ports then, and the guard it armed goes (a session's end may come
    // before its end is noticed). Nothing waits for the core: the process
    // (or the session) ends right after.
    Draining draining;
    if (job.job->signal->Cancel()) {
      ports_.processes->Terminate(job.job->coreProcessId, 0);
      if (job.job->connect) Tell([](ProxyOwner& owner) { owner.JobEnded(); });
      draining.toldEnded = true;
    }
    // Kept until its end is noticed, as any job's (the worker's notice
    // comes even when it ended just now), so that no job starts beside it.
    draining.run = std::move(job);
    state_ = std::move(draining);
  } else if (core != 0) {
    state_ = Idle{};
  }
  std::deque<WaitingCall> waiting = std::move(waiting_);
  waiting_.clear();
  for (WaitingCall& call : waiting) drop(std::move(call.result));
  // With no tunnel only our own values, put back by another program, go,
  // and a switch-off still to be tried again gets its last try; a guard
  // watches what comes back the moment they go.
  if (core != 0 || restarting) WriteLog(ports_, std::string("tunnel stopped: ") + why);
  Tell([](ProxyOwner& owner) { owner.AtTeardown(); });
  // Without a wait: the process (or the session) ends right after.
  if (core != 0) ports_.processes->Terminate(core, 0);
  // The session may end the process the moment this returns, and at a
  // close the connections are waited for next: the owner finishes first,
  // for a moment at most (the guard covers what is left).
  owner_.Finish(kLastSwitchOffMs);
}

void TunnelBridge::CoreExited(uint32_t process_id) {
  // Possibly the core of the job under way, whose outcome has not come yet:
  // the job's end looks at this again before anything is told.
  if (PendingJob* run = Run()) run->exitNotices.push_back(process_id);
  // A core this bridge already stopped or replaced is none of its business;
  // a check under way sees it at its end.
  // While there is no network, nothing may point at a dead port: the values
  // go off, and the heal waits for the network.
  if (Offline* offline = std::get_if<Offline>(&state_);
      offline != nullptr && process_id == offline->tunnel.core &&
      !IsCoreAlive(*ports_.processes, process_id)) {
    offline->tunnel.core = 0;
    WriteLog(ports_,
             "the core exited while there is no network: the system proxy off until the "
             "tunnel is healed");
    SwitchOffIfOn();
    return;
  }
  // (A switch-on under way looks at its core again once the owner answers.)
  if (SwitchingOn* on = std::get_if<SwitchingOn>(&state_); on && process_id == on->tunnel.core) {
    on->done.exitNotices.push_back(process_id);
  }
  const Connected* up = std::get_if<Connected>(&state_);
  if (up == nullptr || process_id != up->tunnel.core) return;
  if (IsCoreAlive(*ports_.processes, process_id)) return;
  Heal("the core exited");
}

void TunnelBridge::ProxySettingsChanged() {
  Tell([](ProxyOwner& owner) { owner.Changed(); });
}

void TunnelBridge::RetryProxyOff() {
  Tell([](ProxyOwner& owner) { owner.Retry(); });
  // A quick restart's time is up: traffic no longer waits for the new core.
  Healing* heal = std::get_if<Healing>(&state_);
  if (heal == nullptr || heal->proxyOnUntil == 0) return;
  const uint64_t now = ports_.system->SteadyMs();
  if (now < heal->proxyOnUntil) {
    if (ports_.worker != nullptr) {
      ports_.worker->RetryAfter(static_cast<uint32_t>(heal->proxyOnUntil - now));
    }
    return;
  }
  heal->proxyOnUntil = 0;
  // (A change found meanwhile stays: the heal's end does not undo it.)
  Tell([](ProxyOwner& owner) { owner.QuickRestartOver(); });
}

void TunnelBridge::GuardExited() {
  Tell([](ProxyOwner& owner) { owner.GuardExited(); });
}

void TunnelBridge::ProgramEnds() {
  if (active()) return;  // (the close stopped it; a tunnel is never left here)
  // What the owner still does is waited for, for a moment at most; a step
  // that outlasts it leaves the owner to nobody, and the guard to watch.
  if (!owner_.Stop(kLastSwitchOffMs)) {
    WriteLog(ports_, "the proxy's owner did not finish in time: the guard watches what is left");
    guard_->Arm();
    return;
  }
  Tell([](ProxyOwner& owner) { owner.ProgramEnds(); });  // (here, now)
}

void TunnelBridge::RollBack(std::unique_ptr<CallResult> result) {
  // Whether or not it was committed, a tunnel whose call failed leaves
  // nothing: the user interface is told it failed, so nothing may run on.
  // Proxy off, guard released, its core ended (by a job, whose end answers).
  // Each step at a boundary of its own: this runs outside any other. (A job
  // the failed step started keeps its own core.)
  uint32_t core = 0;
  if (SwitchingOn* on = std::get_if<SwitchingOn>(&state_)) {
    core = on->tunnel.core;
    // (The call it holds, when the switch-on could not be asked for.)
    if (!result) result = std::move(on->done.result);
  }
  if (const Tunnel* live = Live()) core = live->core;
  if (core != 0) state_ = Idle{};
  WriteLog(ports_, "rolled back after an internal error");
  flutter::RunAtBoundary("Exception rolling back: ",
                         [&] { Tell([](ProxyOwner& owner) { owner.SwitchOff(); }); });
  if (core != 0) {
    EndCoreThenAnswer(core, StopReply::kInternalError, std::move(result));
  } else {
    AnswerFailed(std::move(result));
  }
}

void TunnelBridge::StopTunnel(const char* why, uint32_t core) {
  WriteLog(ports_, std::string("tunnel stopped: ") + why);
  flutter::RunAtBoundary("Exception switching the proxy off: ",
                         [&] { Tell([](ProxyOwner& owner) { owner.SwitchOff(true, true); }); });
  // Without a wait: this is the window's thread. A core found dead is gone
  // already; at a close or a session's end the process (and with it the
  // core's job) ends right after.
  if (core != 0) ports_.processes->Terminate(core, 0);
}

}  // namespace tessarin
