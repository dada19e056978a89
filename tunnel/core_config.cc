#include "tunnel/core_config.h"

#include <cctype>
#include <string>

#include "tunnel/local_proxy_endpoint.h"

namespace tessarin {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

// The market these lists cover is mainland China; grouped as the core's
// route rules list them.
const std::vector<std::string> DirectDomainSuffixes = {
    // country-code top-level domain
    "cn",
    // search
    "baidu.com",
    "sogou.com",
    // messaging and social
    "qq.com",
    "wechat.com",
    "douban.com",
    "zhihu.com",
    "hupu.com",
    // commerce, payment and cloud
    "taobao.com",
    "tmall.com",
    "alipay.com",
    "aliyun.com",
    "alicdn.com",
    // second commerce group
    "jd.com",
    "360buyimg.com",
    // video
    "bilibili.com",
    "iqiyi.com",
    "youku.com",
    "hdslb.com",
    // short video and news
    "douyin.com",
    "kuaishou.com",
    "toutiao.com",
    "ixigua.com",
    "snssdk.com",
    // lifestyle and social commerce
    "meituan.com",
    "dianping.com",
    "xiaohongshu.com",
    "pinduoduo.com",
    "ele.me",
    "ctrip.com",
    // portals, mail and microblogging
    "163.com",
    "126.com",
    "sina.com.cn",
    "sohu.com",
    "weibo.com",
    "ifeng.com",
    // maps
    "amap.com",
    "autonavi.com",
    // phone makers
    "mi.com",
    "xiaomi.com",
    "huawei.com",
    "vivo.com.cn",
    "oppo.com",
    "honor.com",
    // state media, government and education
    "cctv.com",
    "xinhuanet.com",
    "people.com.cn",
    "gov.cn",
    "edu.cn",
    "chinadaily.com.cn",
    // academic and developer sites
    "cnki.net",
    "csdn.net",
    "gitee.com",
    "oschina.net",
    // cloud and content-delivery providers
    "qcloud.com",
    "tencent-cloud.com",
    "myqcloud.com",
    "huaweicloud.com",
    "bdstatic.com",
    "wangsu.com",
    "qiniu.com",
    "upaiyun.com",
};

std::string EscapeJsonString(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        // Any other control byte is invalid raw in JSON: the core would
        // refuse the whole document.
        if (static_cast<unsigned char>(c) < 0x20) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string LookupStringValue(const EncodableValueMap& map, const std::string& key) {
  const auto found = map.find(EncodableValue(key));
  if (found == map.end()) return std::string();
  const std::string* text = found->second.TryGet<std::string>();
  return text ? *text : std::string();
}

std::string LowerCaseAscii(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    // Only A to Z: the "C" locale's tolower, without depending on the locale.
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string BuildRouteSection(bool smart) {
  // Appended to a string: the stream classes would bring their locales
  // into the program (a tenth of its size).
  std::string out = "  \"route\": {\"rules\": [\n";
  out += "    {\"ip_is_private\": true, \"outbound\": \"direct\"}";
  if (smart) {
    out += ",\n    {\"domain_suffix\": [";
    bool first = true;
    for (const std::string& suffix : DirectDomainSuffixes) {
      if (!first) out += ", ";
      first = false;
      out += "\"" + EscapeJsonString(suffix) + "\"";
    }
    out += "], \"outbound\": \"direct\"}";
  }
  out += "\n  ], \"final\": \"proxy\"}\n";
  return out;
}

namespace {

// Non-empty string under |key| of |node|, else |fallback|.
std::string StringOr(const EncodableValueMap& node, const char* key, const std::string& fallback) {
  std::string value = LookupStringValue(node, key);
  return value.empty() ? fallback : value;
}

int32_t PortOf(const EncodableValueMap& node) {
  const auto found = node.find(EncodableValue("port"));
  if (found == node.end()) return 443;
  if (const int32_t* narrow = found->second.TryGet<int32_t>()) return *narrow;
  if (const int64_t* wide = found->second.TryGet<int64_t>()) {
    // The low 32 bits, read as signed.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(*wide)));
  }
  return 443;
}

}  // namespace

std::string BuildCoreConfig(const EncodableValueMap& arguments) {
  const auto config = arguments.find(EncodableValue("connectionConfig"));
  if (config == arguments.end()) return std::string();
  const EncodableValueMap* node = config->second.TryGet<EncodableValueMap>();
  if (node == nullptr) return std::string();

  CoreConnectionSettings settings;
  settings.uuid = LookupStringValue(*node, "uuid");
  settings.host = LookupStringValue(*node, "host");
  settings.port = PortOf(*node);
  settings.path = StringOr(*node, "path", "/");
  settings.sni = StringOr(*node, "sni", settings.host);
  settings.fingerprint = StringOr(*node, "fp", "chrome");
  const std::string mode = LowerCaseAscii(LookupStringValue(arguments, "proxyMode"));
  settings.smart = mode.empty() || mode == "smart";
  settings.global = mode == "global";
  if (settings.uuid.empty() || settings.host.empty()) return std::string();

  std::string out = "{\n";
  out += "  \"log\": {\"level\": \"warn\"},\n";
  out += "  \"inbounds\": [\n";
  out += "    {\"type\": \"mixed\", \"tag\": \"mixed-in\", \"listen\": \"" +
         std::string(LocalProxyEndpoint::kHost) +
         "\", \"listen_port\": " + std::to_string(LocalProxyEndpoint::kPort) + "}";
  if (settings.global) {
    out +=
        ",\n"
        "    {\"type\": \"tun\", \"tag\": \"tun-in\", \"interface_name\": \"tessarin0\", "
        "\"address\": [\"172.19.0.1/30\", \"fdfe:dcba:9876::1/126\"], \"mtu\": 9000, "
        "\"auto_route\": true, \"strict_route\": true, \"stack\": \"mixed\"}";
  }
  out += "\n  ],\n";
  out += "  \"outbounds\": [\n";
  out += "    {\"type\": \"vless\", \"tag\": \"proxy\", \"server\": \"" +
         EscapeJsonString(settings.host) + "\", \"server_port\": " + std::to_string(settings.port) +
         ", \"uuid\": \"" + EscapeJsonString(settings.uuid) +
         "\", \"flow\": \"\", \"tls\": {\"enabled\": true, \"server_name\": \"" +
         EscapeJsonString(settings.sni) + "\", \"utls\": {\"enabled\": true, \"fingerprint\": \"" +
         EscapeJsonString(settings.fingerprint) +
         "\"}}, \"transport\": {\"type\": \"ws\", \"path\": \"" + EscapeJsonString(settings.path) +
         "\", \"headers\": {\"Host\": \"" + EscapeJsonString(settings.sni) + "\"}}},\n";
  out += "    {\"type\": \"direct\", \"tag\": \"direct\"}\n";
  out += "  ],\n";
  out += BuildRouteSection(settings.smart);
  out += "}\n";
  return out;
}

}  // namespace tessarin
