#include "tunnel/tunnel_bridge.h"

#include <algorithm>

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

}  // namespace

TunnelBridge::TunnelBridge(OsPorts ports)
    : ports_(ports),
      guard_(GuardOrNone(ports.guard)),
      // A connect's or a heal's job arms the guard (a cancelled one may still
      // be doing so); its end releases it.
      owner_(ports, guard_, [this] {
        return (pending_ != nullptr && pending_->job->connect) ||
               (cancelled_ != nullptr && cancelled_->job->connect);
      }) {}

TunnelBridge::~TunnelBridge() = default;

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
  if (ports_.log != nullptr) {
    uint32_t enable = 0;
    std::wstring server;
    owner_.ReadValues(&enable, &server);
    WriteLog(ports_, "application directory " + LogText(appDirectory) + "; the system proxy was " +
                         (enable == 1 ? "on (" + LogData(server) + "), switching it off" : "off"));
  }
  // Every start clears a proxy a crashed run (or anything else) left on.
  owner_.SwitchOff();
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
    // The user's disconnect, or a connect (to any node) that can run, does
    // not wait for a check or a heal to run its course: it stops it, and
    // is handled once it has stopped.
    const std::string& method = call.MethodName();
    if (pending_ && (pending_->reply == JobReply::kCheck || pending_->reply == JobReply::kHeal) &&
        (method == "disconnect" || (method == "connect" && UsableConnect(call)))) {
      WriteLog(ports_, "the tunnel's check or heal stopped: " + method);
      pending_->job->signal->Cancel();
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
    if (active && !IsCoreAlive(*ports_.processes, coreProcessId)) {
      Heal("status found the core gone");
      if (Busy()) {
        Queue(call, std::move(result));
        return;
      }
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

void TunnelBridge::StartJob(std::shared_ptr<CoreJob> job, JobReply reply,
                            std::unique_ptr<CallResult> result,
                            flutter::EncodableValueMap request) {
  // The job is pending only once the worker has it: a start that fails
  // leaves nothing that waits for an end that never comes.
  const bool started = flutter::RunAtBoundary("Exception starting a core job: ", [&] {
    auto pending = std::make_unique<PendingJob>();
    pending->job = job;
    pending->reply = reply;
    pending->request = std::move(request);
    if (ports_.worker != nullptr) ports_.worker->Start(job);
    pending->result = std::move(result);
    pending_ = std::move(pending);
  });
  if (!started) {
    // Nothing of the job runs: the core it was to end goes now.
    if (job->oldCore != 0) ports_.processes->Terminate(job->oldCore, 0);
    owner_.JobEnded();
    AnswerFailed(std::move(result));
    return;
  }
  if (ports_.worker == nullptr) {
    RunCoreJob(*job, ports_);
    JobFinished();
  }
}

void TunnelBridge::EndCoreThenAnswer(uint32_t core, JobReply reply,
                                     std::unique_ptr<CallResult> result) {
  std::shared_ptr<CoreJob> stop;
  flutter::RunAtBoundary("Exception making a core's end: ", [&] {
    stop = std::make_shared<CoreJob>();
    stop->oldCore = core;
  });
  if (stop) {
    StartJob(std::move(stop), reply, std::move(result));
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
  if (cancelled_ && cancelled_->job->finished.load(std::memory_order_acquire)) {
    const std::unique_ptr<PendingJob> done = std::move(cancelled_);
    if (done->job->connect) owner_.JobEnded();
  }
  if (pending_ && pending_->job->finished.load(std::memory_order_acquire)) {
    const std::unique_ptr<PendingJob> done = std::move(pending_);
    const bool answered = flutter::RunAtBoundary("Exception in a tunnel call: ", [&] {
      switch (done->reply) {
        case JobReply::kConnect:
          FinishConnect(*done);
          break;
        case JobReply::kIdle: {
          if (!done->result) break;  // (a heal's core ended)
          const EncodableValue idle(IdleStatus());
          done->result->Success(&idle);
          break;
        }
        case JobReply::kProxyFailed:
          done->result->Error("PROXY_FAILED", "Failed to enable Windows proxy.", nullptr);
          break;
        case JobReply::kInternalError:  // a rollback's: its call may be gone already
          if (done->result) {
            done->result->Error("INTERNAL_ERROR", "The native handler failed.", nullptr);
          }
          break;
        case JobReply::kCheck:
          FinishCheck(*done);
          break;
        case JobReply::kHeal:
          FinishHeal(*done);
          break;
      }
    });
    // A call already answered keeps what it was told; one that was not is
    // rolled back and told it failed.
    if (!answered && !(done->result && done->result->Answered())) {
      RollBack(std::move(done->result));
    }
  }
  DispatchWaiting();
  if (worldChangedInJob_ && !Busy()) {
    worldChangedInJob_ = false;
    WorldChanged("the machine or its network changed during a job");
  }
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
  if (active && IsCoreAlive(*ports_.processes, coreProcessId)) {
    // What the system really does: another program's proxy, or a script
    // that may send traffic around ours.
    const std::string message =
        owner_.TakenOver()    ? kTakenOverMessage
        : owner_.ScriptSeen() ? std::string("Windows system proxy is active. ") + kScriptNotice
                              : std::string("Windows system proxy is active.");
    const EncodableValue report(ActiveStatus(*ports_.system, sessionId, message));
    result.Success(&report);
    return;
  }
  // The watchdog: a core that died takes the system proxy down with it.
  if (active) {
    StopTunnel("status found the core gone");
  } else if (owner_.OffPending()) {
    owner_.SwitchOff();
  }
  active = false;
  coreProcessId = 0;
  sessionId.clear();
  const EncodableValue idle(IdleStatus());
  result.Success(&idle);
}

void TunnelBridge::Disconnect(std::unique_ptr<CallResult>& result) {
  if (active || coreProcessId != 0) WriteLog(ports_, "tunnel stopped: disconnect");
  // The state goes first: whatever throws after, no tunnel is left known
  // to nobody, and the core is ended below.
  const bool was_up = active;
  const uint32_t core = coreProcessId;
  active = false;
  coreProcessId = 0;
  sessionId.clear();
  if (core == 0) {
    owner_.SwitchOff(was_up);
    const EncodableValue idle(IdleStatus());
    result->Success(&idle);
    return;
  }
  flutter::RunAtBoundary("Exception switching the proxy off: ", [&] { owner_.SwitchOff(was_up); });
  // The core's end, with its wait, is the worker's; the reply follows it.
  EndCoreThenAnswer(core, JobReply::kIdle, std::move(result));
}

void TunnelBridge::Teardown(const char* why, bool engine_lives) {
  // While the engine lives (a session end that may yet be cancelled) every
  // dropped call is still answered; once it is gone nobody can be.
  auto drop = [&](std::unique_ptr<CallResult> result) {
    if (!engine_lives || !result || result->Answered()) return;
    flutter::RunAtBoundary("Exception answering a dropped call: ",
                           [&] { result->Error("UNAVAILABLE", kSessionEndingMessage, nullptr); });
  };
  if (pending_) {
    WriteLog(ports_, std::string("job cancelled: ") + why);
    std::unique_ptr<PendingJob> job = std::move(pending_);
    drop(std::move(job->result));
    // A core the job already kept is ours to end; the job is done with the
    // ports then. The guard it armed goes with it. Nothing waits for the
    // core: the process (or the session) ends right after.
    if (job->job->signal->Cancel()) {
      ports_.processes->Terminate(job->job->coreProcessId, 0);
      owner_.JobEnded();
    }
    // Kept until its end is noticed, as any job's (the worker's notice
    // comes even when it ended just now), so that no job starts beside it.
    cancelled_ = std::move(job);
  }
  std::deque<WaitingCall> waiting = std::move(waiting_);
  waiting_.clear();
  for (WaitingCall& call : waiting) drop(std::move(call.result));
  if (!active && coreProcessId == 0) {
    // No tunnel: only our own values, put back by another program, go, and
    // a switch-off still to be tried again gets its last try. (A key that
    // cannot be read now may hold ours: the switch-off looks itself.)
    bool known = false;
    if (owner_.OffPending() || owner_.OurValuesOn(&known) || !known) {
      owner_.SwitchOff();
      owner_.GuardWhatCameBack();
    }
    sessionId.clear();  // (a heal's)
    return;
  }
  StopTunnel(why);
  owner_.GuardWhatCameBack();
  sessionId.clear();
}

void TunnelBridge::CoreExited(uint32_t process_id) {
  // Possibly the core of the job under way, whose outcome has not come yet:
  // the job's end looks at this again before anything is told.
  if (pending_) pending_->exitNotices.push_back(process_id);
  // A core this bridge already stopped or replaced is none of its business.
  if (!active || process_id != coreProcessId) return;
  if (IsCoreAlive(*ports_.processes, coreProcessId)) return;
  // (A check under way sees it at its end.)
  if (!Busy()) Heal("the core exited");
}

void TunnelBridge::ProxySettingsChanged() { owner_.Changed(); }

void TunnelBridge::RetryProxyOff() { owner_.Retry(); }

void TunnelBridge::GuardExited() { owner_.GuardExited(); }

void TunnelBridge::ProgramEnds() {
  if (active) return;  // (the close stopped it; a tunnel is never left here)
  owner_.ProgramEnds();
}

void TunnelBridge::RollBack(std::unique_ptr<CallResult> result) {
  // Whether or not it was committed, a tunnel whose call failed leaves
  // nothing: the user interface is told it failed, so nothing may run on.
  // Proxy off, guard released, its core ended (by a job, whose end answers).
  // Each step at a boundary of its own: this runs outside any other.
  const uint32_t core = coreProcessId;
  active = false;
  coreProcessId = 0;
  sessionId.clear();
  WriteLog(ports_, "rolled back after an internal error");
  flutter::RunAtBoundary("Exception rolling back: ", [&] { owner_.SwitchOff(); });
  if (core != 0) {
    EndCoreThenAnswer(core, JobReply::kInternalError, std::move(result));
  } else {
    AnswerFailed(std::move(result));
  }
}

void TunnelBridge::StopTunnel(const char* why, bool proxy_on) {
  WriteLog(ports_, std::string("tunnel stopped: ") + why);
  owner_.SwitchOff(active && proxy_on, active);
  // Without a wait: this is the window's thread. A core found dead is gone
  // already; at a close or a session's end the process (and with it the
  // core's job) ends right after.
  if (coreProcessId != 0) ports_.processes->Terminate(coreProcessId, 0);
  active = false;
  coreProcessId = 0;
}

}  // namespace tessarin
