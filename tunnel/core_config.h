// The configuration document for the sing-box core, assembled from fixed
// fragments so that its bytes are exactly the same on every run.
#ifndef TESSARIN_TUNNEL_CORE_CONFIG_H_
#define TESSARIN_TUNNEL_CORE_CONFIG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "channel/encodable_value.h"

namespace tessarin {

// What the connect request says about the node, after defaults.
struct CoreConnectionSettings {
  std::string host;
  std::string uuid;
  std::string path;
  std::string sni;
  std::string fingerprint;
  int32_t port = 443;
  bool smart = false;
  bool global = false;
};

// 62 lowercase suffixes routed direct in smart mode, in route order.
extern const std::vector<std::string> DirectDomainSuffixes;

// The whole document, or "" when the node is unusable (no "connectionConfig"
// map, or no non-empty "host" and "uuid").
std::string BuildCoreConfig(const flutter::EncodableValueMap& arguments);
std::string BuildRouteSection(bool smart);
std::string EscapeJsonString(const std::string& text);
// The string under |key|, or "" when absent or of another kind.
std::string LookupStringValue(const flutter::EncodableValueMap& map, const std::string& key);
std::string LowerCaseAscii(const std::string& text);

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_CORE_CONFIG_H_
