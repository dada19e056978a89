// Proves that the node carries traffic: an HTTPS trace page fetched through
// the core's local inbound.
#ifndef TESSARIN_TUNNEL_CONNECTIVITY_PROBE_H_
#define TESSARIN_TUNNEL_CONNECTIVITY_PROBE_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "tunnel/os_ports.h"

namespace tessarin {

constexpr int kProbeAttempts = 8;
constexpr uint32_t kProbePauseMs = 500;
constexpr const char kProbeUserAgent[] = "tessarin-connectivity-check/1.0";
constexpr const char kProbeUrl[] = "https://www.cloudflare.com/cdn-cgi/trace";
// INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE
constexpr uint32_t kProbeRequestFlags = 0x80000000u | 0x04000000u | 0x00800000u;

// Each blocking step of an attempt is bounded, so a node that accepts and
// never answers costs one receive time-out per attempt, not WinINet's
// defaults: connecting to the local inbound, sending, and each receive.
constexpr uint32_t kInternetOptionConnectTimeout = 2;
constexpr uint32_t kInternetOptionSendTimeout = 5;
constexpr uint32_t kInternetOptionReceiveTimeout = 6;
constexpr uint32_t kProbeConnectTimeoutMs = 2000;
constexpr uint32_t kProbeSendTimeoutMs = 2000;
constexpr uint32_t kProbeReceiveTimeoutMs = 3000;

// The host's own bound on one attempt, whatever WinINet does with its
// time-outs (Wine ignores them for a node that never answers): the attempt
// counts as failed when it passes.
constexpr uint32_t kProbeAttemptDeadlineMs = 4000;

class JobSignal;
class LogPort;

// True on the first attempt that reads at least one body byte. Each attempt
// runs on a thread of its own and owns its handles, so one that is stuck is
// left behind at its deadline, or at a cancel of |signal|, which also ends
// the probe before its next attempt. A left attempt ends by itself (at
// WinINet's time-outs, or when the core's end resets its connection) and
// closes its own handles: none is closed from another thread while a call
// is blocked on it. An abort inside WinINet (Wine's, whenever the TLS
// handshake through the proxy breaks) ends only the attempt's own thread:
// the attempt failed.
// Each attempt's result goes to |log| as "probe attempt N of 8: ...".
// Each attempt's thread holds |keep_alive| (whatever owns the ports).
// |ended|, if given, is asked after each failed attempt: once it says the
// path is gone (its core ended), no attempt follows. |attempts|: at most.
bool ProbeConnectivity(InternetPort& internet, SystemPort& system,
                       std::shared_ptr<JobSignal> signal = nullptr,
                       uint32_t attempt_deadline_ms = kProbeAttemptDeadlineMs,
                       LogPort* log = nullptr, std::shared_ptr<const void> keep_alive = nullptr,
                       const std::function<bool()>& ended = nullptr, int attempts = kProbeAttempts);

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_CONNECTIVITY_PROBE_H_
