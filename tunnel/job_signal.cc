#include "tunnel/job_signal.h"

namespace tessarin {

bool JobSignal::Cancel() {
  bool committed = false;
  Update([&] {
    cancelled_ = true;
    committed = committed_;
  });
  return committed;
}

void JobSignal::Renew(uint64_t at_ms) {
  Update([&] {
    ++renewals_;
    renewedAtMs_ = at_ms;
  });
}

uint64_t JobSignal::RenewedAtMs() const {
  std::lock_guard<std::mutex> hold(lock_);
  return renewedAtMs_;
}

uint32_t JobSignal::RenewalsNow() const {
  std::lock_guard<std::mutex> hold(lock_);
  return renewals_;
}

bool JobSignal::Cancelled() const {
  std::lock_guard<std::mutex> hold(lock_);
  return cancelled_;
}

void JobSignal::Pause(uint32_t ms) const {
  std::unique_lock<std::mutex> hold(lock_);
  WaitUntil(hold, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms),
            [] { return false; });
}

bool JobSignal::Commit() {
  std::lock_guard<std::mutex> hold(lock_);
  if (cancelled_) return false;
  committed_ = true;
  return true;
}

}  // namespace tessarin
