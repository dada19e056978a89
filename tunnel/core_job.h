// The slow half of a call, run off the platform thread: an old core ended
// (with its wait), and for a connect the configuration written, the new core
// started and waited for until it listens, and the node probed. The job gets
// its inputs by value and hands back an outcome; the bridge's state stays on
// the platform thread.
#ifndef TESSARIN_TUNNEL_CORE_JOB_H_
#define TESSARIN_TUNNEL_CORE_JOB_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/job_signal.h"
#include "tunnel/os_ports.h"

namespace tessarin {

struct CoreJob {
  enum class Outcome {
    kRunning,
    kTerminated,       // a job that only ended the old core
    kWriteFailed,      // the configuration could not be written
    kLaunchFailed,     // the core could not be started
    kExitedAtOnce,     // the core ended before it was ready
    kPortUnavailable,  // the port is held or reserved: |failure| says so
    kProbeFailed,      // the node did not carry traffic; the core was ended
    kReady,            // the core runs and carries traffic: coreProcessId
    kCancelled,        // stopped at a cancel; a core it started was ended
    kFailed,           // an internal error; a core it started was ended
  };

  // Inputs, by value.
  uint32_t oldCore = 0;  // ended first, with its wait; 0: none
  bool connect = false;  // false: the job only ends oldCore
  // Not 0: the job only checks that this running core carries traffic (one
  // probe attempt): kReady or kProbeFailed, the core left as it is.
  uint32_t checkCore = 0;
  uint64_t began = 0;  // SteadyMs when the bridge started it (for the log)
  std::wstring executable;
  std::wstring configPath;
  std::wstring appDirectory;
  std::string config;
  bool fixedStartWait = false;  // wait the whole start check, as older builds did
  // A heal's back-off: waited (a cancel ends it) after the old core's end,
  // before the new core starts.
  uint32_t pauseFirstMs = 0;
  uint32_t probeDeadlineMs;
  // A check's or a heal's: after a probe that failed, whether the machine
  // has a network at all is read too (|noNetwork|).
  bool lookAtNetwork = false;
  // The job only waits until the machine has a network again, up
  // kNetworkSettledMs in a row: kReady, or kCancelled. It looks every
  // kNetworkPollMs, and at once when the signal is renewed (a notice).
  bool awaitNetwork = false;

  std::shared_ptr<JobSignal> signal = std::make_shared<JobSignal>();
  // Whatever owns the ports, set by whoever runs the job and held by every
  // thread the job starts, so nothing any of them touches is freed under it.
  std::shared_ptr<const void> keepAlive;

  // The outcome: written by the job, read on the platform thread once
  // |finished| is true.
  Outcome outcome = Outcome::kRunning;
  uint32_t coreProcessId = 0;
  std::string failure;  // a failure's message, where the outcome alone does not say it
  // The job armed the guard (beside the probe); releasing it is the bridge's.
  bool guardArmed = false;
  // Its probe failed while the machine had no network.
  bool noNetwork = false;
  std::atomic<bool> finished{false};

  CoreJob();
};

constexpr uint32_t kNetworkSettledMs = 2000;
constexpr uint32_t kNetworkPollMs = 1000;

// The job's steps, on whatever thread runs it; sets |finished| last.
void RunCoreJob(CoreJob& job, const OsPorts& ports);

// Longest wait for a new core to listen, and how often it is looked at.
constexpr uint32_t kCoreStartCheckMs = 800;
constexpr uint32_t kCoreStartPollMs = 15;

// Returns once the core |process_id| listens on the local endpoint's port
// itself, has ended, or the job is cancelled, at most kCoreStartCheckMs after
// it is called. |listeners_before| are the port's owners just before the
// launch, or null when they could not be read; an owner the system does not
// tell (0) counts as the core's only when nobody listened before.
enum class CoreStart { kListening, kEnded, kWaited, kCancelled };
CoreStart WaitForCoreStart(ProcessPort& processes, SystemPort& system, const JobSignal& signal,
                           uint32_t process_id, const std::vector<uint32_t>* listeners_before);

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_CORE_JOB_H_
