#include "tunnel/core_job.h"

#include <algorithm>
#include <system_error>
#include <thread>
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
    if (waited < kCoreStartCheckMs) system.Sleep(static_cast<uint32_t>(kCoreStartCheckMs - waited));
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
    system.Sleep(
        static_cast<uint32_t>(std::min<uint64_t>(kCoreStartPollMs, kCoreStartCheckMs - waited)));
  }
}

namespace {

using Outcome = CoreJob::Outcome;

// Arms the guard on a thread of its own, so that its start (which waits for
// the guard to detach itself) overlaps the probe; joined when it goes.
// Without a thread to be had, it arms at once.
class ArmBeside {
 public:
  explicit ArmBeside(ProxyGuardPort* guard) {
    if (guard == nullptr) return;
    auto arm = [guard] {
      flutter::RunAtBoundary("Exception arming the guard: ", [guard] { guard->Arm(); });
    };
    try {
      thread_ = std::thread(arm);
    } catch (const std::system_error&) {
      arm();
    }
  }
  ~ArmBeside() {
    if (thread_.joinable()) thread_.join();
  }
  ArmBeside(const ArmBeside&) = delete;
  ArmBeside& operator=(const ArmBeside&) = delete;

 private:
  std::thread thread_;
};

Outcome RunSteps(CoreJob& job, const OsPorts& ports) {
  // Ended even when cancelled: its port must be free, and nobody else will.
  if (job.oldCore != 0) {
    TerminateCore(*ports.processes, job.oldCore);
    Note(ports, "ended the core " + std::to_string(job.oldCore));
  }
  if (!job.connect) return Outcome::kTerminated;
  JobSignal& signal = *job.signal;
  if (signal.Cancelled()) return Outcome::kCancelled;
  if (!ports.system->WriteWholeFile(job.configPath, job.config)) return Outcome::kWriteFailed;
  std::vector<uint32_t> before;
  const bool known =
      !job.fixedStartWait && ports.system->LocalListeners(LocalProxyEndpoint::kPort, &before);
  const uint32_t process_id =
      LaunchCore(*ports.processes, job.executable, job.configPath, job.appDirectory);
  if (process_id == 0) return Outcome::kLaunchFailed;
  job.coreProcessId = process_id;  // for the end of a job that fails on the way
  const std::string core = "core " + std::to_string(process_id);
  Note(ports, core + " started");
  auto stop = [&](Outcome outcome) {
    TerminateCore(*ports.processes, process_id);
    Note(ports, "ended the " + core);
    return outcome;
  };
  const uint64_t launched = ports.system->SteadyMs();
  const CoreStart start = WaitForCoreStart(*ports.processes, *ports.system, signal, process_id,
                                           known ? &before : nullptr);
  const std::string after = std::to_string(ports.system->SteadyMs() - launched) + " ms";
  if (signal.Cancelled()) return stop(Outcome::kCancelled);
  // A core that rejects its document exits at once; it is not terminated.
  if (!IsCoreAlive(*ports.processes, process_id)) {
    uint32_t code = 0;
    Note(ports,
         core + " exited within " + after +
             (ports.processes->ExitCode(process_id, &code) ? ", exit code " + std::to_string(code)
                                                           : std::string()));
    return Outcome::kExitedAtOnce;
  }
  Note(ports,
       core + (start == CoreStart::kListening ? " listening after " : " running after ") + after);
  // The guard must watch before the proxy goes on; released by the bridge
  // whatever the job's end.
  job.guardArmed = ports.guard != nullptr;
  bool carried = false;
  {
    const ArmBeside arming(ports.guard);
    carried = ProbeConnectivity(*ports.internet, *ports.system, job.signal, job.probeDeadlineMs,
                                ports.log, job.keepAlive);
  }
  if (!carried) return stop(signal.Cancelled() ? Outcome::kCancelled : Outcome::kProbeFailed);
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
