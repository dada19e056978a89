// "connect": from the selected node to a running, proven tunnel with the
// system proxy pointed at it, or an error that leaves nothing half-started.
#include <algorithm>
#include <stdexcept>

#include "channel/diagnostics.h"
#include "channel/standard_method_codec.h"
#include "tunnel/connectivity_probe.h"
#include "tunnel/core_config.h"
#include "tunnel/core_process.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/status_reports.h"
#include "tunnel/system_proxy.h"
#include "tunnel/tunnel_bridge.h"

namespace tessarin {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

namespace {

// The node's credential, as the configuration document carries it.
std::string NodeUuid(const EncodableValueMap& request) {
  const auto node = request.find(EncodableValue("connectionConfig"));
  const EncodableValueMap* settings =
      node == request.end() ? nullptr : node->second.TryGet<EncodableValueMap>();
  return settings == nullptr ? std::string() : LookupStringValue(*settings, "uuid");
}

}  // namespace

void TunnelBridge::ConnectSequence(const flutter::MethodCall& call,
                                   std::unique_ptr<CallResult>& result) {
  // 1. The request must be a map.
  const EncodableValueMap* request =
      call.Arguments() ? call.Arguments()->TryGet<EncodableValueMap>() : nullptr;
  if (request == nullptr) {
    result->Error("INVALID_ARGUMENT", "Missing tunnel request.", nullptr);
    return;
  }
  // 2. The core must be there.
  const std::wstring executable = CoreExecutablePath(appDirectory);
  if (!CoreExecutableExists(*ports_.system, executable)) {
    const EncodableValue details(MissingCoreDetails(call));
    result->Error("UNAVAILABLE", "Windows sing-box proxy core is missing.", &details);
    return;
  }
  // 3. The node must be usable. Up to here a running tunnel is untouched.
  const std::string config = BuildCoreConfig(*request);
  if (config.empty()) {
    result->Error("INVALID_ARGUMENT", "Selected node is missing connection config.", nullptr);
    return;
  }
  // Windows would ignore the proxy we set for this user: nothing is started,
  // nothing written, a running tunnel left as it is.
  if (ports_.proxy_settings->MachinePolicyOverridesUser()) {
    WriteLog(ports_, "connect refused: machine policy sets the proxy for the whole machine");
    result->Error("PROXY_FAILED", kMachinePolicyMessage, nullptr);
    return;
  }
  // Refused or not, it was looked at as a check or a heal runs: one that
  // runs (the core came, say, since it was looked at) stops that job and
  // waits for its end, as any that would run does.
  if (Busy()) {
    if (PendingJob* run = Run()) run->job->signal->Cancel();
    Queue(call, std::move(result));
    return;
  }
  // 5-10 run in the job: the file, the core's start, its check, the probe.
  // Made whole before the running tunnel is touched, so nothing that can
  // fail comes between its stop and the job that ends its core.
  std::shared_ptr<CoreJob> job = ConnectJob(executable, config);
  EncodableValueMap kept_request = *request;
  // The node's credential never reaches the log, whoever writes it there.
  if (ports_.log != nullptr) ports_.log->MaskFromNowOn(NodeUuid(*request));
  // 4. Stop the running tunnel before its file and port are reused: the
  // proxy now, the old core first thing in the job.
  if (const Connected* up = std::get_if<Connected>(&state_)) {
    // The state first: from here on the job owns the old core, whatever throws.
    job->oldCore = up->tunnel.core;
    state_ = Idle{};
    flutter::RunAtBoundary("Exception stopping the tunnel: ", [&] {
      WriteLog(ports_, "tunnel stopped: a new connect");
      Tell([](ProxyOwner& owner) { owner.SwitchOff(true); });
    });
  }
  Connecting next;
  next.run.job = std::move(job);
  next.run.result = std::move(result);
  next.request = std::move(kept_request);
  StartJob(std::move(next));
}

std::shared_ptr<CoreJob> TunnelBridge::ConnectJob(const std::wstring& executable,
                                                  const std::string& config) const {
  auto job = std::make_shared<CoreJob>();
  job->connect = true;
  job->executable = executable;
  job->configPath = configPath;
  job->appDirectory = appDirectory;
  job->config = config;
  job->fixedStartWait = fixedStartWait_;
  return job;
}

void TunnelBridge::FinishConnect(Connecting& done) {
  using Outcome = CoreJob::Outcome;
  const CoreJob& job = *done.run.job;
  std::unique_ptr<CallResult>& result = done.run.result;
  switch (job.outcome) {
    case Outcome::kWriteFailed:
      result->Error("IO_ERROR", "Failed to write sing-box config.", nullptr);
      return;
    case Outcome::kLaunchFailed:
      result->Error("START_FAILED", "Failed to start sing-box.", nullptr);
      return;
    case Outcome::kExitedAtOnce:
      result->Error("START_FAILED", "sing-box exited immediately.", nullptr);
      return;
    case Outcome::kPortUnavailable:
      result->Error("START_FAILED", job.failure, nullptr);
      return;
    case Outcome::kReady:
      break;
    case Outcome::kFailed:
      throw std::runtime_error("the core job failed");
    default:  // kProbeFailed; a cancelled job is never finished here
      result->Error("PROXY_TEST_FAILED",
                    "Proxy node connectivity check failed. Please switch nodes and retry.",
                    nullptr);
      return;
  }
  // Ours before anything that can throw: a rollback then ends it.
  const uint32_t core = job.coreProcessId;
  SwitchingOn on;
  on.tunnel.core = core;
  state_ = std::move(on);
  // What the job saw may be old news: the core is looked at again before
  // the proxy goes on, and again once it is on. (Its kept handle decides;
  // an exit notice alone could name a reused id.)
  if (!IsCoreAlive(*ports_.processes, core)) {
    state_ = Idle{};
    FailEndedCore(done.run, core);
    return;
  }
  // 11. Point the system proxy at the core, which the job's guard watches:
  // the owner's step, whose answer goes on below (calls wait meanwhile).
  SwitchingOn& switching = std::get<SwitchingOn>(state_);
  // What a heal starts again.
  switching.tunnel.config = job.config;
  switching.tunnel.request = std::move(done.request);
  const bool armed = job.guardArmed;
  switching.done = std::move(done.run);
  switching.ask = ++asks_;
  const uint64_t ask = switching.ask;
  // (The step only hands its answer back: it touches nothing of the bridge.)
  TunnelBridge* self = this;
  owner_.Post([self, ask, armed, withdrawn = withdrawn_](
                  ProxyOwner& owner, std::function<void(OwnerThread::Answer)>& answer) {
    ProxyOwner::SwitchedOn on = ProxyOwner::SwitchedOn::kFailed;
    if (withdrawn->load() < ask) {
      flutter::RunAtBoundary("Exception switching the proxy on: ",
                             [&] { on = owner.ConnectSwitchOn(armed); });
    }
    answer([self, ask, on] { self->ConnectSwitchedOn(ask, on); });
  });
}

void TunnelBridge::ConnectSwitchedOn(uint64_t ask, ProxyOwner::SwitchedOn on) {
  SwitchingOn* switching = std::get_if<SwitchingOn>(&state_);
  if (switching == nullptr || switching->ask != ask) return;  // (a close came first)
  std::unique_ptr<CallResult> result = std::move(switching->done.result);
  bool look_again = switching->lookAgain;
  const bool done =
      flutter::RunAtBoundary("Exception in a tunnel call: ", [&] { CommitConnect(on, result); });
  // A call already answered keeps what it was told; one that was not is
  // rolled back (the core the state holds ended) and told it failed.
  if (!done && !(result && result->Answered())) RollBack(std::move(result));
  look_again &= std::holds_alternative<Connected>(state_);
  DispatchWaiting();
  if (look_again) WorldChanged("the machine or its network changed during a connect");
}

void TunnelBridge::CommitConnect(ProxyOwner::SwitchedOn on, std::unique_ptr<CallResult>& result) {
  SwitchingOn& switching = std::get<SwitchingOn>(state_);
  const uint32_t core = switching.tunnel.core;
  if (on != ProxyOwner::SwitchedOn::kOn) {
    state_ = Idle{};
    EndCoreThenAnswer(core, StopReply::kProxyFailed, std::move(result));
    return;
  }
  if (!IsCoreAlive(*ports_.processes, core)) {
    Tell([](ProxyOwner& owner) { owner.SwitchOff(); });
    PendingJob done = std::move(switching.done);
    done.result = std::move(result);
    state_ = Idle{};
    FailEndedCore(done, core);
    return;
  }
  // 12-14. The reply is made before the commit: a failure on the way leaves
  // the tunnel uncommitted, for a rollback.
  std::string session = "windows-singbox-" + UtcTimestamp(*ports_.system);
  const std::string mode = LowerCaseAscii(LookupStringValue(switching.tunnel.request, "proxyMode"));
  std::string message =
      mode == "global"
          ? "Windows global mode requested sing-box TUN; verify routing with a network test."
          : "Windows system proxy is active through sing-box.";
  // (What the owner knows now: its read-back, or a look after it.)
  const ProxyOwner::View view = owner_.Look();
  if (view.script) message += std::string(" ") + kScriptNotice;
  // Read back as it went on: another program's proxy is what Windows uses.
  if (view.takenOver) message = kTakenOverMessage;
  const EncodableValue connected(
      ConnectedStatus(*ports_.system, switching.tunnel.request, session, message));
  Connected up{std::move(switching.tunnel)};
  up.tunnel.session = std::move(session);
  up.tunnel.upSince = ports_.system->TicksMs();
  state_ = std::move(up);
  result->Success(&connected);
}

void TunnelBridge::FailEndedCore(PendingJob& done, uint32_t core) {
  uint32_t code = 0;
  const bool known = ports_.processes->ExitCode(core, &code);
  const bool noticed =
      std::find(done.exitNotices.begin(), done.exitNotices.end(), core) != done.exitNotices.end();
  WriteLog(ports_, "core " + std::to_string(core) + " exited before the connect was answered" +
                       (known ? ", exit code " + std::to_string(code) : std::string()) +
                       (noticed ? " (its exit was noticed while the job ran)" : ""));
  // Already ended: this only lets go of it, without a wait.
  ports_.processes->Terminate(core, 0);
  done.result->Error("START_FAILED", "sing-box exited immediately.", nullptr);
}

}  // namespace tessarin
