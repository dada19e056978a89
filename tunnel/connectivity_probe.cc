#include "tunnel/connectivity_probe.h"

#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

namespace {

bool AttemptOnce(InternetPort& internet) {
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

}  // namespace

bool ProbeConnectivity(InternetPort& internet, SystemPort& system) {
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    if (AttemptOnce(internet)) return true;
    system.Sleep(kProbePauseMs);
  }
  return false;
}

}  // namespace tessarin
