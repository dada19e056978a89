// The stand-in core's reading of its configuration document: checked as
// strictly as a real core would (unknown members, wrong types, bad ports,
// uuids, fingerprints and tags are all refused), and the route rules that
// decide where each request goes.
#ifndef TESSARIN_STAND_INS_CORE_CORE_DOCUMENT_H_
#define TESSARIN_STAND_INS_CORE_CORE_DOCUMENT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace stand_in {

struct Outbound {
  std::string type;  // "vless" or "direct"
  std::string tag;
  std::string server;  // vless only
  uint16_t server_port = 0;
};

struct RouteRule {
  bool ip_is_private = false;
  std::vector<std::string> domain_suffix;
  std::string outbound;
};

struct CoreDocument {
  std::string listen;
  uint16_t listen_port = 0;
  bool has_tun = false;
  std::string tun_interface;
  std::vector<Outbound> outbounds;
  std::vector<RouteRule> rules;
  std::string final_outbound;

  const Outbound* FindOutbound(const std::string& tag) const;
};

// False with one line saying why when a core would refuse the document.
bool ReadCoreDocument(const std::string& text, CoreDocument* out, std::string* error);

// The outbound tag for a destination. |host| is a domain or an IP literal;
// names are never resolved, so a domain matches only domain rules.
std::string RouteDestination(const CoreDocument& document, const std::string& host);

bool IsPrivateAddress(const std::string& host);

}  // namespace stand_in

#endif  // TESSARIN_STAND_INS_CORE_CORE_DOCUMENT_H_
