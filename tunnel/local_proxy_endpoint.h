// The core's local mixed (HTTP and SOCKS) inbound. The configuration document
// declares it, the probe goes through it and the system proxy points at it:
// all three must agree.
#ifndef TESSARIN_TUNNEL_LOCAL_PROXY_ENDPOINT_H_
#define TESSARIN_TUNNEL_LOCAL_PROXY_ENDPOINT_H_

#include <cstdint>

namespace tessarin {

struct LocalProxyEndpoint {
  static constexpr const char kHost[] = "127.0.0.1";
  static constexpr int32_t kPort = 20808;
  // "host:port" with no scheme, so WinINet uses it for every protocol.
  static constexpr const char kHostPort[] = "127.0.0.1:20808";
  static constexpr const wchar_t kSystemProxyServer[] =
      L"http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_LOCAL_PROXY_ENDPOINT_H_
