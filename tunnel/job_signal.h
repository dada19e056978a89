// The cancel token and wake-up that every thread of one job shares: the job
// itself, its probe attempts and the platform thread that may cancel it.
#ifndef TESSARIN_TUNNEL_JOB_SIGNAL_H_
#define TESSARIN_TUNNEL_JOB_SIGNAL_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tessarin {

class JobSignal {
 public:
  // From the platform thread: the job stops before its next step, and a wait
  // inside it ends at once. True when the job had already committed a
  // running core, which is then the caller's to end.
  bool Cancel();
  bool Cancelled() const;
  // From the job: keeps its core unless it was cancelled first.
  bool Commit();
  // From the platform thread: the machine resumed, so time the job measured
  // before is no guide; its probe starts its time afresh. Renewals() counts
  // them (read under the lock, as WaitFor's |ready| may).
  // |at_ms|: when (SteadyMs), so that the time afresh counts from it.
  void Renew(uint64_t at_ms);
  uint32_t Renewals() const { return renewals_; }
  uint32_t RenewalsNow() const;  // the same, taking the lock
  uint64_t RenewedAtMs() const;

  // Runs |change| under the lock, then wakes WaitFor.
  template <typename Change>
  void Update(Change change) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      change();
    }
    changed_.notify_all();
  }
  // Waits |ms|, or less when the job is cancelled meanwhile.
  void Pause(uint32_t ms) const;
  // Waits up to |ms| for |ready| (checked under the lock) or a cancel;
  // whether |ready| held.
  template <typename Ready>
  bool WaitFor(uint32_t ms, Ready ready) const {
    std::unique_lock<std::mutex> hold(lock_);
    WaitUntil(hold, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), ready);
    return ready();
  }

 private:
  // Waits in slices, each looking again: under Wine a wake-up the condition
  // variable loses (seen once in many runs, as a whole minute's wait) then
  // costs one slice, not the wait.
  static constexpr std::chrono::milliseconds kSlice{50};
  template <typename Ready>
  void WaitUntil(std::unique_lock<std::mutex>& hold, std::chrono::steady_clock::time_point deadline,
                 Ready ready) const {
    while (!cancelled_ && !ready()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return;
      changed_.wait_for(hold,
                        std::min<std::chrono::steady_clock::duration>(deadline - now, kSlice));
    }
  }

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  bool cancelled_ = false;
  bool committed_ = false;
  uint32_t renewals_ = 0;
  uint64_t renewedAtMs_ = 0;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_JOB_SIGNAL_H_
