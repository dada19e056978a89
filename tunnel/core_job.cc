#include "tunnel/core_job.h"

#include <algorithm>
#include <vector>

#include "channel/diagnostics.h"
#include "tunnel/connectivity_probe.h"
#include "tunnel/core_process.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

CoreJob::CoreJob() : probeDeadlineMs(kProbeAttemptDeadlineMs) {}

CoreStart WaitForCoreStart(ProcessPort& processes, SystemPort& system, const JobSignal& signal,
                           uint32_t process_id, const std::vector<uint32_t>* listeners_before) {
  const uint64_t start = system.SteadyMs();
  auto rest_of_wait = [&] {
    const uint64_t waited = system.SteadyMs() - start;
    if (waited < kCoreStartCheckMs) {
      system.Pause(static_cast<uint32_t>(kCoreStartCheckMs - waited), signal);
    }
    return CoreStart::kWaited;
  };
  // Without the table, or with a listener of unknown owner already there,
  // nothing tells the core's own listener apart: the whole wait it is.
  if (listeners_before == nullptr ||
      std::count(listeners_before->begin(), listeners_before->end(), 0u) > 0) {
    return rest_of_wait();
  }
  for (;;) {
    if (signal.Cancelled()) return CoreStart::kCancelled;
    if (!IsCoreAlive(processes, process_id)) return CoreStart::kEnded;
    std::vector<uint32_t> owners;
    if (!system.LocalListeners(LocalProxyEndpoint::kPort, &owners)) return rest_of_wait();
    // Windows names the owner; Wine says 0 for every socket, and a listener
    // that was not there before the launch can only be the core's.
    for (uint32_t owner : owners) {
      if (owner == process_id || owner == 0) return CoreStart::kListening;
    }
    const uint64_t waited = system.SteadyMs() - start;
    if (waited >= kCoreStartCheckMs) return CoreStart::kWaited;
    system.Pause(
        static_cast<uint32_t>(std::min<uint64_t>(kCoreStartPollMs, kCoreStartCheckMs - waited)),
        signal);
  }
}

namespace {

using Outcome = CoreJob::Outcome;

// Runs |work| on a thread of its own beside what the job does meanwhile,
// and waits for it to end when this goes (what it uses lives in the job's
// frame); without a thread to be had, at once.
class Beside {
 public:
  template <typename Work>
  Beside(SystemPort& system, const char* where, Work work)
      : system_(system), state_(std::make_shared<State>()) {
    auto run = [where, work, state = state_] {
      flutter::RunAtBoundary(where, work);
      state->signal.Update([&] { state->done = true; });
    };
    if (!system.StartThread(where, run)) run();
  }
  ~Beside() {
    const std::shared_ptr<State> state = state_;
    system_.WaitFor(state->signal, kForeverMs, [state] { return state->done; });
  }
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;

 private:
  static constexpr uint32_t kForeverMs = 0xFFFFFFFFu;
  // Its own signal: a cancel of the job must not end this wait.
  struct State {
    JobSignal signal;
    bool done = false;
  };
  SystemPort& system_;
  std::shared_ptr<State> state_;
};

// Whether the core can listen on its port; else why not, as the user reads it.
bool PortIsFree(SystemPort& system, std::string* why) {
  uint32_t owner = 0;
  std::wstring name;
  const auto state = system.CheckLocalPort(LocalProxyEndpoint::kPort, &owner, &name);
  const std::string port = std::to_string(LocalProxyEndpoint::kPort);
  if (state == SystemPort::PortState::kHeld) {
    const std::string who =
        owner == 0
            ? std::string()
            : " (" + (name.empty() ? std::string("process ") : LogData(name) + ", process ") +
                  std::to_string(owner) + ")";
    *why = "Port " + port + " on 127.0.0.1 is in use by another program" + who +
           ", so sing-box cannot listen there. Close that program, then connect again.";
    return false;
  }
  if (state == SystemPort::PortState::kReserved) {
    *why = "Windows reserves port " + port +
           " for its own use (Hyper-V, WSL), so sing-box cannot listen there. See the reserved "
           "ranges with: netsh interface ipv4 show excludedportrange protocol=tcp";
    return false;
  }
  return true;
}

bool NoNetwork(SystemPort& system) { return system.NetworkNow() == SystemPort::Network::kNone; }

// Until the network has been up kNetworkSettledMs in a row (a blip that
// comes and goes again is not waited out); a machine that cannot tell
// counts as one with a network.
Outcome AwaitNetwork(CoreJob& job, const OsPorts& ports) {
  SystemPort& system = *ports.system;
  const JobSignal& signal = *job.signal;
  uint64_t up_since = 0;
  for (;;) {
    if (signal.Cancelled()) return Outcome::kCancelled;
    const uint32_t renewals = signal.RenewalsNow();
    const uint64_t now = system.SteadyMs();
    if (NoNetwork(system)) {
      up_since = 0;
    } else if (up_since == 0) {
      up_since = now;
      WriteLog(ports, "the network is back; waiting " + std::to_string(kNetworkSettledMs) +
                          " ms for it to settle");
    } else if (now - up_since >= kNetworkSettledMs) {
      return Outcome::kReady;
    }
    const uint64_t rest = up_since == 0 ? kNetworkPollMs : kNetworkSettledMs - (now - up_since);
    system.WaitFor(signal, static_cast<uint32_t>(std::min<uint64_t>(rest, kNetworkPollMs)),
                   [&] { return signal.Renewals() != renewals; });
  }
}

Outcome RunSteps(CoreJob& job, const OsPorts& ports) {
  // Ended even when cancelled: its port must be free, and nobody else will.
  if (job.oldCore != 0) {
    TerminateCore(*ports.processes, job.oldCore);
    WriteLog(ports, "ended the core " + std::to_string(job.oldCore));
  }
  if (job.awaitNetwork) return AwaitNetwork(job, ports);
  if (job.checkCore != 0) {
    const bool carried = ProbeConnectivity(
        *ports.internet, *ports.system, job.signal, job.probeDeadlineMs, ports.log, job.keepAlive,
        [&] { return !IsCoreAlive(*ports.processes, job.checkCore); }, 1);
    if (job.signal->Cancelled()) return Outcome::kCancelled;
    if (!carried && job.lookAtNetwork) job.noNetwork = NoNetwork(*ports.system);
    return carried ? Outcome::kReady : Outcome::kProbeFailed;
  }
  if (!job.connect) return Outcome::kTerminated;
  JobSignal& signal = *job.signal;
  if (signal.Cancelled()) return Outcome::kCancelled;
  if (job.pauseFirstMs != 0) {
    ports.system->Pause(job.pauseFirstMs, signal);
    if (signal.Cancelled()) return Outcome::kCancelled;
  }
  // Beside the core's start, so that the probe never waits for them: what
  // its first attempt would load (that attempt then costs what a later one
  // does), joined before the probe; and, once the core is launched, the
  // guard, which must watch before the proxy goes on and whose start waits
  // for it to detach itself, joined after the probe. Releasing the guard is
  // the bridge's, whatever the job's end.
  std::unique_ptr<Beside> warming(
      new Beside(*ports.system, "Exception warming WinINet: ", [&ports] {
        const uint64_t began = ports.system->SteadyMs();
        ports.internet->Warm(kProbeUserAgent, LocalProxyEndpoint::kHostPort);
        WriteLog(ports,
                 "WinINet warmed in " + std::to_string(ports.system->SteadyMs() - began) + " ms");
      }));
  if (!ports.system->WriteWholeFile(job.configPath, job.config)) return Outcome::kWriteFailed;
  if (signal.Cancelled()) return Outcome::kCancelled;
  // The port, before any core: another program there would even answer the
  // probe in the core's place.
  if (!PortIsFree(*ports.system, &job.failure)) {
    WriteLog(ports, job.failure);
    return Outcome::kPortUnavailable;
  }
  std::vector<uint32_t> before;
  const bool known =
      !job.fixedStartWait && ports.system->LocalListeners(LocalProxyEndpoint::kPort, &before);
  const uint32_t process_id =
      LaunchCore(*ports.processes, job.executable, job.configPath, job.appDirectory);
  if (process_id == 0) return Outcome::kLaunchFailed;
  // Before anything that can throw: the end of a job that fails on the way
  // ends this core.
  job.coreProcessId = process_id;
  job.guardArmed = ports.guard != nullptr;
  std::unique_ptr<Beside> arming;
  if (ProxyGuardPort* guard = ports.guard) {
    arming.reset(
        new Beside(*ports.system, "Exception arming the guard: ", [guard] { guard->Arm(); }));
  }
  const std::string core = "core " + std::to_string(process_id);
  WriteLog(ports, core + " started");
  auto stop = [&](Outcome outcome) {
    TerminateCore(*ports.processes, process_id);
    WriteLog(ports, "ended the " + core);
    return outcome;
  };
  const uint64_t launched = ports.system->SteadyMs();
  const CoreStart start = WaitForCoreStart(*ports.processes, *ports.system, signal, process_id,
                                           known ? &before : nullptr);
  // The core's own time: what the warm-up adds after it has its own line.
  const std::string after = std::to_string(ports.system->SteadyMs() - launched) + " ms";
  warming.reset();
  if (signal.Cancelled()) return stop(Outcome::kCancelled);
  // A core that rejects its document exits at once; it is not terminated.
  if (!IsCoreAlive(*ports.processes, process_id)) {
    uint32_t code = 0;
    WriteLog(ports, core + " exited within " + after +
                        (ports.processes->ExitCode(process_id, &code)
                             ? ", exit code " + std::to_string(code)
                             : std::string()));
    return Outcome::kExitedAtOnce;
  }
  WriteLog(
      ports,
      core + (start == CoreStart::kListening ? " listening after " : " running after ") + after);
  bool carried =
      ProbeConnectivity(*ports.internet, *ports.system, job.signal, job.probeDeadlineMs, ports.log,
                        job.keepAlive, [&] { return !IsCoreAlive(*ports.processes, process_id); });
  arming.reset();
  if (!carried && job.lookAtNetwork && !signal.Cancelled()) {
    job.noNetwork = NoNetwork(*ports.system);
  }
  if (!carried) return stop(signal.Cancelled() ? Outcome::kCancelled : Outcome::kProbeFailed);
  // A guard that ended while the probe ran, or whose start failed: started
  // again here, where a wait is allowed, so that the proxy goes on under a
  // live one where one can be had.
  if (ports.guard != nullptr && !signal.Cancelled() && !ports.guard->Watching()) {
    WriteLog(ports, "no guard watches before the switch-on; starting it again");
    ports.guard->Arm();
  }
  if (!signal.Commit()) return stop(Outcome::kCancelled);
  return Outcome::kReady;
}

}  // namespace

void RunCoreJob(CoreJob& job, const OsPorts& ports) {
  // A thread's entry: nothing may escape, and the call must still be answered.
  if (!flutter::RunAtBoundary("Exception in a core job: ",
                              [&] { job.outcome = RunSteps(job, ports); })) {
    // Nothing half-started: a core it launched goes again.
    job.outcome = CoreJob::Outcome::kFailed;
    flutter::RunAtBoundary("Exception ending a core: ",
                           [&] { TerminateCore(*ports.processes, job.coreProcessId); });
  }
  job.finished.store(true, std::memory_order_release);
}

}  // namespace tessarin
