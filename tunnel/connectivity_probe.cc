#include "tunnel/connectivity_probe.h"

#include <system_error>
#include <thread>

#include "tunnel/core_job.h"
#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

namespace {

// One attempt's state, guarded by the job's signal: shared by the thread
// that runs it and the one that waits for it, which may give up on it.
struct Attempt {
  bool done = false;
  bool passed = false;
  bool abandoned = false;
  // While open; an abort closes them, their owners still free them.
  InternetSession* session = nullptr;
  InternetRequest* request = nullptr;

  void Abort() {
    if (request != nullptr) request->Abort();
    if (session != nullptr) session->Abort();
  }
};

// Publishes the attempt's open handles; false once it has been given up.
bool Publish(JobSignal& signal, Attempt& attempt, InternetSession* session,
             InternetRequest* request) {
  bool wanted = false;
  signal.Update([&] {
    wanted = !attempt.abandoned;
    attempt.session = wanted ? session : nullptr;
    attempt.request = wanted ? request : nullptr;
  });
  return wanted;
}

bool Fetch(InternetPort& internet, JobSignal& signal, Attempt& attempt) {
  auto session = internet.OpenSession(kProbeUserAgent, LocalProxyEndpoint::kHostPort);
  if (!session || !Publish(signal, attempt, session.get(), nullptr)) return false;
  // Set on the session, so its requests inherit them; a refused option
  // leaves that step at WinINet's default and the attempt goes on.
  session->SetOption(kInternetOptionConnectTimeout, kProbeConnectTimeoutMs);
  session->SetOption(kInternetOptionSendTimeout, kProbeSendTimeoutMs);
  session->SetOption(kInternetOptionReceiveTimeout, kProbeReceiveTimeoutMs);
  bool passed = false;
  {
    auto request = session->OpenUrl(kProbeUrl, kProbeRequestFlags);
    if (request && Publish(signal, attempt, session.get(), request.get())) {
      uint8_t buffer[256];
      uint32_t bytes_read = 0;
      // Only the first read counts: any non-empty body, an error page
      // included, proves the path works.
      passed = request->Read(buffer, sizeof(buffer), &bytes_read) && bytes_read > 0;
    }
    Publish(signal, attempt, session.get(), nullptr);  // the request closes first
  }
  Publish(signal, attempt, nullptr, nullptr);
  return passed;
}

bool AttemptOnce(InternetPort& internet, const std::shared_ptr<JobSignal>& signal,
                 uint32_t deadline_ms) {
  auto attempt = std::make_shared<Attempt>();
  signal->SetAbort([attempt] { attempt->Abort(); });
  // The thread holds the signal, and through it whatever owns the ports.
  auto run = [&internet, signal, attempt] {
    const bool passed = Fetch(internet, *signal, *attempt);
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
  const bool done = signal->WaitFor(deadline_ms, [&] { return attempt->done; });
  signal->SetAbort(nullptr);
  if (done) return attempt->passed;
  signal->Update([&] {
    attempt->abandoned = true;
    attempt->Abort();
  });
  return false;
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
