#include "stand_ins/core/core_document.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "stand_ins/json/json_support.h"

namespace stand_in {
namespace {

// Each check returns false after storing the first reason.
class Checker {
 public:
  explicit Checker(std::string* error) : error_(error) {}

  bool Fail(const std::string& why) {
    *error_ = why;
    return false;
  }

  bool Object(const Json& value, const std::string& where, const std::set<std::string>& allowed) {
    if (!value.is_object()) return Fail(where + ": expected an object");
    std::set<std::string> seen;
    for (const auto& member : value.items()) {
      if (allowed.count(member.key()) == 0) {
        return Fail(where + ": unknown field \"" + member.key() + "\"");
      }
      if (!seen.insert(member.key()).second) {
        return Fail(where + ": duplicate field \"" + member.key() + "\"");
      }
    }
    return true;
  }

  bool String(const Json& parent, const std::string& where, const char* key, bool required,
              std::string* out) {
    const Json* value = Find(parent, key);
    if (value == nullptr) return required ? Fail(where + ": missing \"" + key + "\"") : true;
    if (!value->is_string()) return Fail(where + "." + key + ": expected a string");
    *out = value->get<std::string>();
    return true;
  }

  bool Bool(const Json& parent, const std::string& where, const char* key, bool* out) {
    const Json* value = Find(parent, key);
    if (value == nullptr) return true;
    if (!value->is_boolean()) return Fail(where + "." + key + ": expected a boolean");
    *out = value->get<bool>();
    return true;
  }

  bool Port(const Json& parent, const std::string& where, const char* key, uint16_t* out) {
    const Json* value = Find(parent, key);
    int64_t port = 0;
    if (value == nullptr) return Fail(where + ": missing \"" + key + "\"");
    if (!ToInt64(*value, &port)) return Fail(where + "." + key + ": expected an integer");
    if (port < 1 || port > 65535) {
      return Fail(where + "." + key + ": port " + value->dump() + " out of range 1..65535");
    }
    *out = static_cast<uint16_t>(port);
    return true;
  }

  bool Integer(const Json& parent, const std::string& where, const char* key) {
    const Json* value = Find(parent, key);
    int64_t number = 0;
    if (value != nullptr && !ToInt64(*value, &number)) {
      return Fail(where + "." + key + ": expected an integer");
    }
    return true;
  }

  bool StringList(const Json& parent, const std::string& where, const char* key,
                  std::vector<std::string>* out) {
    const Json* value = Find(parent, key);
    if (value == nullptr) return true;
    if (!value->is_array()) return Fail(where + "." + key + ": expected a list");
    for (const Json& item : *value) {
      if (!item.is_string()) {
        return Fail(where + "." + key + ": expected a list of strings");
      }
      out->push_back(item.get<std::string>());
    }
    return true;
  }

 private:
  std::string* error_;
};

bool IsIpv4(const std::string& text, uint8_t octets[4]) {
  int part = 0;
  int value = -1;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : '.';
    if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value * 10) + (c - '0');
      if (value > 255) return false;
    } else if (c == '.' && value >= 0 && part < 4) {
      octets[part++] = static_cast<uint8_t>(value);
      value = -1;
    } else {
      return false;
    }
  }
  return part == 4;
}

bool IsIpv6(const std::string& text) {
  if (text.find(':') == std::string::npos) return false;
  return std::all_of(text.begin(), text.end(), [](char ch) {
    return std::isxdigit(static_cast<unsigned char>(ch)) || ch == ':' || ch == '.';
  });
}

bool IsUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool IsPrefix(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  const std::string address = text.substr(0, slash);
  const std::string bits = text.substr(slash + 1);
  if (bits.empty() || bits.size() > 3 ||
      !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  uint8_t octets[4];
  if (IsIpv4(address, octets)) return std::stoi(bits) <= 32;
  return IsIpv6(address) && std::stoi(bits) <= 128;
}

const std::set<std::string>& Fingerprints() {
  static const std::set<std::string>* known = new std::set<std::string>{
      "chrome", "firefox", "edge", "safari", "360", "qq", "ios", "android", "random", "randomized"};
  return *known;
}

bool ReadInbound(Checker& check, const Json& inbound, const std::string& where, CoreDocument* out) {
  std::string type;
  if (!inbound.is_object()) return check.Fail(where + ": expected an object");
  if (!check.String(inbound, where, "type", true, &type)) return false;
  std::string tag;
  if (type == "mixed") {
    if (!check.Object(inbound, where, {"type", "tag", "listen", "listen_port"})) return false;
    if (!check.String(inbound, where, "tag", false, &tag) ||
        !check.String(inbound, where, "listen", true, &out->listen) ||
        !check.Port(inbound, where, "listen_port", &out->listen_port)) {
      return false;
    }
    uint8_t octets[4];
    if (!IsIpv4(out->listen, octets) && !IsIpv6(out->listen)) {
      return check.Fail(where + ".listen: not an IP address: " + out->listen);
    }
    return true;
  }
  if (type == "tun") {
    if (!check.Object(inbound, where,
                      {"type", "tag", "interface_name", "address", "mtu", "auto_route",
                       "strict_route", "stack"})) {
      return false;
    }
    std::vector<std::string> addresses;
    std::string stack;
    bool flag = false;
    if (!check.String(inbound, where, "tag", false, &tag) ||
        !check.String(inbound, where, "interface_name", false, &out->tun_interface) ||
        !check.StringList(inbound, where, "address", &addresses) ||
        !check.Integer(inbound, where, "mtu") || !check.Bool(inbound, where, "auto_route", &flag) ||
        !check.Bool(inbound, where, "strict_route", &flag) ||
        !check.String(inbound, where, "stack", false, &stack)) {
      return false;
    }
    for (const std::string& address : addresses) {
      if (!IsPrefix(address)) return check.Fail(where + ".address: not a prefix: " + address);
    }
    if (!stack.empty() && stack != "system" && stack != "gvisor" && stack != "mixed") {
      return check.Fail(where + ".stack: unknown stack " + stack);
    }
    out->has_tun = true;
    return true;
  }
  return check.Fail(where + ": unknown inbound type \"" + type + "\"");
}

bool ReadVless(Checker& check, const Json& outbound, const std::string& where, Outbound* out) {
  if (!check.Object(outbound, where,
                    {"type", "tag", "server", "server_port", "uuid", "flow", "tls", "transport"})) {
    return false;
  }
  std::string uuid;
  std::string flow;
  if (!check.String(outbound, where, "server", true, &out->server) ||
      !check.Port(outbound, where, "server_port", &out->server_port) ||
      !check.String(outbound, where, "uuid", true, &uuid) ||
      !check.String(outbound, where, "flow", false, &flow)) {
    return false;
  }
  if (out->server.empty()) return check.Fail(where + ".server: empty");
  if (!IsUuid(uuid)) return check.Fail(where + ".uuid: not a uuid: " + uuid);
  if (!flow.empty() && flow != "xtls-rprx-vision") {
    return check.Fail(where + ".flow: unknown flow " + flow);
  }
  if (const Json* tls = Find(outbound, "tls")) {
    const std::string at = where + ".tls";
    std::string name;
    bool enabled = false;
    if (!check.Object(*tls, at, {"enabled", "server_name", "utls", "insecure", "alpn"}) ||
        !check.Bool(*tls, at, "enabled", &enabled) ||
        !check.String(*tls, at, "server_name", false, &name)) {
      return false;
    }
    if (const Json* utls = Find(*tls, "utls")) {
      std::string fingerprint;
      if (!check.Object(*utls, at + ".utls", {"enabled", "fingerprint"}) ||
          !check.Bool(*utls, at + ".utls", "enabled", &enabled) ||
          !check.String(*utls, at + ".utls", "fingerprint", false, &fingerprint)) {
        return false;
      }
      if (!fingerprint.empty() && Fingerprints().count(fingerprint) == 0) {
        return check.Fail(at + ".utls.fingerprint: unknown fingerprint " + fingerprint);
      }
    }
  }
  if (const Json* transport = Find(outbound, "transport")) {
    const std::string at = where + ".transport";
    std::string type;
    std::string path;
    if (!check.Object(*transport, at, {"type", "path", "headers"}) ||
        !check.String(*transport, at, "type", true, &type) ||
        !check.String(*transport, at, "path", false, &path)) {
      return false;
    }
    if (type != "ws") return check.Fail(at + ": unknown transport type " + type);
    if (const Json* headers = Find(*transport, "headers")) {
      if (!headers->is_object()) return check.Fail(at + ".headers: expected an object");
      for (const auto& header : headers->items()) {
        if (!header.value().is_string()) {
          return check.Fail(at + ".headers." + header.key() + ": expected a string");
        }
      }
    }
  }
  return true;
}

bool ReadOutbound(Checker& check, const Json& outbound, const std::string& where, Outbound* out) {
  if (!outbound.is_object()) return check.Fail(where + ": expected an object");
  if (!check.String(outbound, where, "type", true, &out->type) ||
      !check.String(outbound, where, "tag", true, &out->tag)) {
    return false;
  }
  if (out->type == "direct") return check.Object(outbound, where, {"type", "tag"});
  if (out->type == "vless") return ReadVless(check, outbound, where, out);
  return check.Fail(where + ": unknown outbound type \"" + out->type + "\"");
}

bool ReadRoute(Checker& check, const Json& route, CoreDocument* out) {
  if (!check.Object(route, "route", {"rules", "final"})) return false;
  if (const Json* rules = Find(route, "rules")) {
    if (!rules->is_array()) return check.Fail("route.rules: expected a list");
    for (size_t i = 0; i < rules->size(); ++i) {
      const Json& item = (*rules)[i];
      const std::string where = "route.rules[" + std::to_string(i) + "]";
      RouteRule rule;
      if (!check.Object(item, where, {"ip_is_private", "domain_suffix", "outbound"}) ||
          !check.Bool(item, where, "ip_is_private", &rule.ip_is_private) ||
          !check.StringList(item, where, "domain_suffix", &rule.domain_suffix) ||
          !check.String(item, where, "outbound", true, &rule.outbound)) {
        return false;
      }
      if (out->FindOutbound(rule.outbound) == nullptr) {
        return check.Fail(where + ".outbound: no outbound tagged \"" + rule.outbound + "\"");
      }
      out->rules.push_back(std::move(rule));
    }
  }
  if (!check.String(route, "route", "final", false, &out->final_outbound)) return false;
  if (!out->final_outbound.empty() && out->FindOutbound(out->final_outbound) == nullptr) {
    return check.Fail("route.final: no outbound tagged \"" + out->final_outbound + "\"");
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

const Outbound* CoreDocument::FindOutbound(const std::string& tag) const {
  for (const Outbound& outbound : outbounds) {
    if (outbound.tag == tag) return &outbound;
  }
  return nullptr;
}

bool ReadCoreDocument(const std::string& text, CoreDocument* out, std::string* error) {
  *out = CoreDocument();
  Json root;
  std::string why;
  if (!ParseJson(text, &root, &why)) {
    *error = "decode config: " + why;
    return false;
  }
  Checker check(error);
  if (!check.Object(root, "config", {"log", "inbounds", "outbounds", "route"})) return false;
  if (const Json* log = Find(root, "log")) {
    std::string level;
    if (!check.Object(*log, "log", {"level", "disabled", "timestamp"}) ||
        !check.String(*log, "log", "level", false, &level)) {
      return false;
    }
    static const std::set<std::string> kLevels = {"trace", "debug", "info", "warn",
                                                  "error", "fatal", "panic"};
    if (!level.empty() && kLevels.count(level) == 0) return check.Fail("log.level: " + level);
  }
  const Json* inbounds = Find(root, "inbounds");
  if (inbounds != nullptr) {
    if (!inbounds->is_array()) return check.Fail("inbounds: expected a list");
    for (size_t i = 0; i < inbounds->size(); ++i) {
      if (!ReadInbound(check, (*inbounds)[i], "inbounds[" + std::to_string(i) + "]", out)) {
        return false;
      }
    }
  }
  if (out->listen_port == 0) return check.Fail("inbounds: no mixed inbound to serve");
  const Json* outbounds = Find(root, "outbounds");
  if (outbounds == nullptr || !outbounds->is_array()) {
    return check.Fail("outbounds: expected a list");
  }
  std::set<std::string> tags;
  for (size_t i = 0; i < outbounds->size(); ++i) {
    Outbound outbound;
    const std::string where = "outbounds[" + std::to_string(i) + "]";
    if (!ReadOutbound(check, (*outbounds)[i], where, &outbound)) return false;
    if (!tags.insert(outbound.tag).second) {
      return check.Fail(where + ": duplicate tag \"" + outbound.tag + "\"");
    }
    out->outbounds.push_back(std::move(outbound));
  }
  if (out->outbounds.empty()) return check.Fail("outbounds: empty");
  if (const Json* route = Find(root, "route")) {
    if (!ReadRoute(check, *route, out)) return false;
  }
  if (out->final_outbound.empty()) out->final_outbound = out->outbounds.front().tag;
  return true;
}

bool IsPrivateAddress(const std::string& host) {
  uint8_t o[4];
  if (IsIpv4(host, o)) {
    return o[0] == 10 || o[0] == 127 || (o[0] == 172 && (o[1] & 0xF0) == 16) ||
           (o[0] == 192 && o[1] == 168) || (o[0] == 169 && o[1] == 254) ||
           (o[0] == 100 && (o[1] & 0xC0) == 64) || o[0] == 0;
  }
  if (!IsIpv6(host)) return false;
  const std::string lower = Lower(host);
  if (lower == "::1" || lower == "::") return true;
  // fc00::/7 unique local, fe80::/10 link local.
  return lower.rfind("fc", 0) == 0 || lower.rfind("fd", 0) == 0 || lower.rfind("fe8", 0) == 0 ||
         lower.rfind("fe9", 0) == 0 || lower.rfind("fea", 0) == 0 || lower.rfind("feb", 0) == 0;
}

std::string RouteDestination(const CoreDocument& document, const std::string& host) {
  uint8_t octets[4];
  const bool is_ip = IsIpv4(host, octets) || IsIpv6(host);
  const std::string name = Lower(host);
  for (const RouteRule& rule : document.rules) {
    if (rule.ip_is_private && is_ip && IsPrivateAddress(host)) return rule.outbound;
    if (is_ip) continue;
    for (const std::string& suffix : rule.domain_suffix) {
      const std::string lower = Lower(suffix);
      if (name == lower || (name.size() > lower.size() &&
                            name.compare(name.size() - lower.size(), lower.size(), lower) == 0 &&
                            name[name.size() - lower.size() - 1] == '.')) {
        return rule.outbound;
      }
    }
  }
  return document.final_outbound;
}

}  // namespace stand_in
