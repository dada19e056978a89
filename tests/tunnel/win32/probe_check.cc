// Runs the connectivity probe once through the real WinINet adapter and
// prints the answer and how long it took, for the probe harness to judge.
#include <chrono>
#include <cstdio>

#include "tunnel/connectivity_probe.h"
#include "tunnel/win32/win32_os_ports.h"

int main() {
  tessarin::Win32InternetPort internet;
  tessarin::Win32SystemPort system;
  // Said first, so that the harness times the proxy's appearance from here,
  // not from Wine's start.
  std::printf("started\n");
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const bool ok = tessarin::ProbeConnectivity(internet, system);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  std::printf("probe=%d ms=%lld\n", ok ? 1 : 0, static_cast<long long>(ms));
  return 0;
}
