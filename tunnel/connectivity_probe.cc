#include "tunnel/connectivity_probe.h"

#include <algorithm>

#include "channel/diagnostics.h"
#include "tunnel/abort_ends_thread.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/job_signal.h"
#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

namespace {

struct AttemptResult {
  bool passed = false;
  uint32_t bytes = 0;
  const char* failed_at = nullptr;  // the call that failed, if one did
  uint32_t error = 0;               // its WinINet error
  bool aborted = false;             // WinINet aborted inside it: its thread ended
};

AttemptResult Fetch(InternetPort& internet) {
  AttemptResult result;
  auto fail = [&](const char* call) {
    result.failed_at = call;
    result.error = internet.LastError();
    return result;
  };
  auto session = internet.OpenSession(kProbeUserAgent, LocalProxyEndpoint::kHostPort);
  if (!session) return fail("open");
  // Set on the session, so its requests inherit them; a refused option
  // leaves that step at WinINet's default and the attempt goes on.
  session->SetOption(kInternetOptionConnectTimeout, kProbeConnectTimeoutMs);
  session->SetOption(kInternetOptionSendTimeout, kProbeSendTimeoutMs);
  session->SetOption(kInternetOptionReceiveTimeout, kProbeReceiveTimeoutMs);
  auto request = session->OpenUrl(kProbeUrl, kProbeRequestFlags);
  if (!request) return fail("open url");
  uint8_t buffer[256];
  // Only the first read counts: any non-empty body, an error page included,
  // proves the path works. The request closes before the session.
  if (!request->Read(buffer, sizeof(buffer), &result.bytes)) return fail("read");
  result.passed = result.bytes > 0;
  return result;
}

// One attempt's result, guarded by the job's signal.
struct Attempt {
  bool done = false;
  AttemptResult result;
};

std::string Describe(const AttemptResult* result, uint32_t deadline_ms) {
  if (result == nullptr) {
    return "no answer within " + std::to_string(deadline_ms) + " ms, left to end by itself";
  }
  if (result->aborted) return "WinINet aborted it (its own assertion); only its thread ended";
  if (result->failed_at != nullptr) {
    return std::string(result->failed_at) + " failed, WinINet error " +
           std::to_string(result->error);
  }
  return "read " + std::to_string(result->bytes) + " bytes";
}

// False at the deadline, or when the machine resumed meanwhile (the
// signal renewed past |renewals|): the attempt is then left to end by itself.
bool AttemptOnce(InternetPort& internet, SystemPort& system,
                 const std::shared_ptr<JobSignal>& signal, uint32_t deadline_ms, uint32_t renewals,
                 const std::shared_ptr<const void>& keep_alive, AttemptResult* out) {
  auto attempt = std::make_shared<Attempt>();
  auto finish = [signal, attempt](const AttemptResult& result) {
    signal->Update([&] {
      attempt->result = result;
      attempt->done = true;
    });
  };
  // The thread holds whatever owns the ports: it may outlive the job.
  auto fetch = [&internet, finish, keep_alive] {
    AttemptResult result;
    // A thread's entry: an attempt that throws is one that failed.
    if (!flutter::RunAtBoundary("Exception in a probe attempt: ",
                                [&] { result = Fetch(internet); })) {
      result = AttemptResult();
      result.failed_at = "the attempt";
    }
    finish(result);
  };
  const bool own_thread = system.StartThread("Exception in a probe attempt: ", [fetch, finish] {
    // Nothing else runs on this thread, so an abort inside WinINet may end
    // it alone: the attempt failed, the program goes on. (What it held is
    // never let go of; the lost thread is the price of a library's abort.)
    const AbortEndsThread last_word([finish] {
      AttemptResult aborted;
      aborted.aborted = true;
      finish(aborted);
    });
    fetch();
  });
  // No thread to be had: the attempt blocks its caller, as it once did.
  if (!own_thread) fetch();
  if (!system.WaitFor(*signal, deadline_ms,
                      [&] { return attempt->done || signal->Renewals() != renewals; }) ||
      !attempt->done) {
    return false;
  }
  *out = attempt->result;
  return true;
}

}  // namespace

bool ProbeConnectivity(InternetPort& internet, SystemPort& system,
                       std::shared_ptr<JobSignal> signal, uint32_t attempt_deadline_ms,
                       LogPort* log, std::shared_ptr<const void> keep_alive,
                       const std::function<bool()>& ended, int attempts) {
  if (!signal) signal = std::make_shared<JobSignal>();
  // Attempts that run on the job's own thread (no thread to be had) end
  // only at WinINet's time-outs: no attempt starts once the attempts' whole
  // time is spent (one under way still runs to its end).
  uint64_t first_began = system.SteadyMs();
  const uint64_t budget_ms = uint64_t(attempts) * (attempt_deadline_ms + kProbePauseMs);
  uint32_t renewals = signal->RenewalsNow();
  // A resume makes what was measured before it no guide: the attempts and
  // their time start afresh from it.
  auto renewed = [&] {
    if (signal->RenewalsNow() == renewals) return false;
    renewals = signal->RenewalsNow();
    // (From the resume itself: an attempt that blocked the job's own thread
    // may have held the notice up.)
    first_began = std::min(signal->RenewedAtMs(), system.SteadyMs());
    if (log != nullptr) {
      WriteLog(log, "the machine resumed: the probe starts afresh, " + std::to_string(attempts) +
                        " attempts within " + std::to_string(budget_ms) + " ms of it");
    }
    return true;
  };
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (signal->Cancelled()) return false;
    if (system.SteadyMs() - first_began >= budget_ms) {
      if (log != nullptr) WriteLog(log, "probe stopped: its time is up");
      return false;
    }
    const uint64_t began = system.SteadyMs();
    AttemptResult result;
    const bool ended_attempt =
        AttemptOnce(internet, system, signal, attempt_deadline_ms, renewals, keep_alive, &result);
    if (log != nullptr) {
      const std::string what =
          !ended_attempt && signal->Cancelled() ? std::string("cancelled")
          : !ended_attempt && signal->RenewalsNow() != renewals
              ? std::string("the machine resumed, left to end by itself")
              : Describe(ended_attempt ? &result : nullptr, attempt_deadline_ms);
      WriteLog(log, "probe attempt " + std::to_string(attempt) + " of " + std::to_string(attempts) +
                        ": " + what + ", " + std::to_string(system.SteadyMs() - began) + " ms");
    }
    if (ended_attempt && result.passed) return true;
    // Nothing carries traffic through a core that ended: no more attempts.
    if (ended && ended()) {
      if (log != nullptr) WriteLog(log, "probe stopped: the core ended");
      return false;
    }
    if (renewed()) {
      attempt = 0;
      continue;
    }
    system.Pause(kProbePauseMs, *signal);
    if (renewed()) attempt = 0;
  }
  return false;
}

}  // namespace tessarin
