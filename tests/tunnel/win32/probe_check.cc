// Runs the connectivity probe once through the real WinINet adapter and
// prints the answer, how many attempts it made and how long it took, for the
// probe harness to judge.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

#include "tunnel/connectivity_probe.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/win32/win32_os_ports.h"

namespace {

// Counts the probe's attempt lines (written from its attempts' threads).
class AttemptCount : public tessarin::LogPort {
 public:
  void Write(const std::string& text) override {
    if (text.find("probe attempt") != std::string::npos) ++attempts;
  }
  void MaskFromNowOn(const std::string&) override {}
  std::atomic<int> attempts{0};
};

}  // namespace

int main() {
  tessarin::Win32InternetPort internet;
  tessarin::Win32SystemPort system;
  // Said first, so that the harness times the proxy's appearance from here,
  // not from Wine's start.
  std::printf("started\n");
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  AttemptCount count;
  const bool ok = tessarin::ProbeConnectivity(internet, system, nullptr,
                                              tessarin::kProbeAttemptDeadlineMs, &count);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  std::printf("probe=%d ms=%lld attempts=%d\n", ok ? 1 : 0, static_cast<long long>(ms),
              count.attempts.load());
  return 0;
}
