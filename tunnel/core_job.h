// The slow half of a call, run off the platform thread: an old core ended
// (with its wait), and for a connect the configuration written, the new core
// started and waited for until it listens, and the node probed. The job gets
// its inputs by value and hands back an outcome; the bridge's state stays on
// the platform thread.
#ifndef TESSARIN_TUNNEL_CORE_JOB_H_
#define TESSARIN_TUNNEL_CORE_JOB_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "tunnel/os_ports.h"

namespace tessarin {

// What every thread of one job shares: the cancel flag, the wake-up of
// whoever waits inside the job, and what must outlive them all.
class JobSignal {
 public:
  // From the platform thread: the job stops before its next step, and a wait
  // inside it ends at once. True when the job had already committed a
  // running core, which is then the caller's to end.
  bool Cancel();
  bool Cancelled() const;
  // From the job: keeps its core unless it was cancelled first.
  bool Commit();

  // Runs |change| under the lock, then wakes WaitFor.
  template <typename Change>
  void Update(Change change) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      change();
    }
    changed_.notify_all();
  }
  // Waits up to |ms| for |ready| (checked under the lock) or a cancel;
  // whether |ready| held.
  template <typename Ready>
  bool WaitFor(uint32_t ms, Ready ready) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return cancelled_ || ready(); });
    return ready();
  }
  // Whatever owns the ports the job uses, kept until the job's last thread
  // is done, so nothing any of them touches is freed under it.
  std::shared_ptr<const void> keepAlive;

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool cancelled_ = false;
  bool committed_ = false;
};

struct CoreJob {
  enum class Outcome {
    kRunning,
    kTerminated,    // a job that only ended the old core
    kWriteFailed,   // the configuration could not be written
    kLaunchFailed,  // the core could not be started
    kExitedAtOnce,  // the core ended before it was ready
    kProbeFailed,   // the node did not carry traffic; the core was ended
    kReady,         // the core runs and carries traffic: coreProcessId
    kCancelled,     // stopped at a cancel; a core it started was ended
    kFailed,        // an internal error; a core it started was ended
  };

  // Inputs, by value.
  uint32_t oldCore = 0;  // ended first, with its wait; 0: none
  bool connect = false;  // false: the job only ends oldCore
  std::wstring executable;
  std::wstring configPath;
  std::wstring appDirectory;
  std::string config;
  bool fixedStartWait = false;  // wait the whole start check, as older builds did
  uint32_t probeDeadlineMs;

  std::shared_ptr<JobSignal> signal = std::make_shared<JobSignal>();

  // The outcome: written by the job, read on the platform thread once
  // |finished| is true.
  Outcome outcome = Outcome::kRunning;
  uint32_t coreProcessId = 0;
  std::atomic<bool> finished{false};

  CoreJob();
};

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
