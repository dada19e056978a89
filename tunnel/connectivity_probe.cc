#include "tunnel/connectivity_probe.h"

#include <system_error>
#include <thread>

#include "tunnel/core_job.h"
#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

namespace {

bool Fetch(InternetPort& internet) {
  auto session = internet.OpenSession(kProbeUserAgent, LocalProxyEndpoint::kHostPort);
  if (!session) return false;
  // Set on the session, so its requests inherit them; a refused option
  // leaves that step at WinINet's default and the attempt goes on.
  session->SetOption(kInternetOptionConnectTimeout, kProbeConnectTimeoutMs);
  session->SetOption(kInternetOptionSendTimeout, kProbeSendTimeoutMs);
  session->SetOption(kInternetOptionReceiveTimeout, kProbeReceiveTimeoutMs);
  auto request = session->OpenUrl(kProbeUrl, kProbeRequestFlags);
  if (!request) return false;
  uint8_t buffer[256];
  uint32_t bytes_read = 0;
  // Only the first read counts: any non-empty body, an error page included,
  // proves the path works. The request closes before the session.
  return request->Read(buffer, sizeof(buffer), &bytes_read) && bytes_read > 0;
}

// One attempt's result, guarded by the job's signal.
struct Attempt {
  bool done = false;
  bool passed = false;
};

bool AttemptOnce(InternetPort& internet, const std::shared_ptr<JobSignal>& signal,
                 uint32_t deadline_ms) {
  auto attempt = std::make_shared<Attempt>();
  // The thread holds the signal, and through it whatever owns the ports.
  auto run = [&internet, signal, attempt] {
    const bool passed = Fetch(internet);
    signal->Update([&] {
      attempt->passed = passed;
      attempt->done = true;
    });
  };
  try {
    std::thread(run).detach();
  } catch (const std::system_error&) {
    run();  // no thread to be had: the attempt blocks its caller, as it once did
  }
  return signal->WaitFor(deadline_ms, [&] { return attempt->done; }) && attempt->passed;
}

}  // namespace

bool ProbeConnectivity(InternetPort& internet, SystemPort& system,
                       std::shared_ptr<JobSignal> signal, uint32_t attempt_deadline_ms) {
  if (!signal) signal = std::make_shared<JobSignal>();
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    if (signal->Cancelled()) return false;
    if (AttemptOnce(internet, signal, attempt_deadline_ms)) return true;
    system.Sleep(kProbePauseMs);
  }
  return false;
}

}  // namespace tessarin
