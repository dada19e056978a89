#include "tunnel/core_config.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tessarin {
namespace {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

EncodableValueMap Node() {
  return {{EncodableValue("host"), EncodableValue("edge.example.net")},
          {EncodableValue("uuid"), EncodableValue("0f8e6a52-3c1d-4b7e-9a2f-5d6c7b8a9e01")},
          {EncodableValue("port"), EncodableValue(8443)},
          {EncodableValue("path"), EncodableValue("/ws")},
          {EncodableValue("sni"), EncodableValue("cdn.example.net")},
          {EncodableValue("fp"), EncodableValue("firefox")}};
}

EncodableValueMap Request(const EncodableValueMap& node, const char* mode = nullptr) {
  EncodableValueMap request{{EncodableValue("connectionConfig"), EncodableValue(node)}};
  if (mode) request[EncodableValue("proxyMode")] = EncodableValue(mode);
  return request;
}

const char kGlobalDocument[] =
    "{\n"
    "  \"log\": {\"level\": \"warn\"},\n"
    "  \"inbounds\": [\n"
    "    {\"type\": \"mixed\", \"tag\": \"mixed-in\", \"listen\": \"127.0.0.1\", \"listen_port\": "
    "20808},\n"
    "    {\"type\": \"tun\", \"tag\": \"tun-in\", \"interface_name\": \"tessarin0\", \"address\": "
    "[\"172.19.0.1/30\", \"fdfe:dcba:9876::1/126\"], \"mtu\": 9000, \"auto_route\": true, "
    "\"strict_route\": true, \"stack\": \"mixed\"}\n"
    "  ],\n"
    "  \"outbounds\": [\n"
    "    {\"type\": \"vless\", \"tag\": \"proxy\", \"server\": \"edge.example.net\", "
    "\"server_port\": 8443, \"uuid\": \"0f8e6a52-3c1d-4b7e-9a2f-5d6c7b8a9e01\", \"flow\": \"\", "
    "\"tls\": {\"enabled\": true, \"server_name\": \"cdn.example.net\", \"utls\": {\"enabled\": "
    "true, \"fingerprint\": \"firefox\"}}, \"transport\": {\"type\": \"ws\", \"path\": \"/ws\", "
    "\"headers\": {\"Host\": \"cdn.example.net\"}}},\n"
    "    {\"type\": \"direct\", \"tag\": \"direct\"}\n"
    "  ],\n"
    "  \"route\": {\"rules\": [\n"
    "    {\"ip_is_private\": true, \"outbound\": \"direct\"}\n"
    "  ], \"final\": \"proxy\"}\n"
    "}\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(CoreConfigTest, GlobalDocumentByteForByte) {
  EXPECT_EQ(BuildCoreConfig(Request(Node(), "global")), kGlobalDocument);
  EXPECT_EQ(BuildCoreConfig(Request(Node(), "GLOBAL")), kGlobalDocument);
}

TEST(CoreConfigTest, OtherModesHaveNeitherTunNorDomainRule) {
  const std::string neither =
      Replace(kGlobalDocument,
              "20808},\n    {\"type\": \"tun\", \"tag\": \"tun-in\", \"interface_name\": "
              "\"tessarin0\", \"address\": [\"172.19.0.1/30\", \"fdfe:dcba:9876::1/126\"], "
              "\"mtu\": 9000, \"auto_route\": true, \"strict_route\": true, \"stack\": "
              "\"mixed\"}\n",
              "20808}\n");
  for (const char* mode : {"tunnel", " smart", "global ", "smarter"}) {
    EXPECT_EQ(BuildCoreConfig(Request(Node(), mode)), neither) << mode;
  }
}

TEST(CoreConfigTest, SmartDocumentAddsTheDomainRuleOnly) {
  std::string domains;
  for (const std::string& suffix : DirectDomainSuffixes) {
    domains += (domains.empty() ? "\"" : ", \"") + suffix + "\"";
  }
  std::string smart = Replace(kGlobalDocument,
                              ",\n    {\"type\": \"tun\", \"tag\": \"tun-in\", \"interface_name\": "
                              "\"tessarin0\", \"address\": [\"172.19.0.1/30\", "
                              "\"fdfe:dcba:9876::1/126\"], \"mtu\": 9000, \"auto_route\": true, "
                              "\"strict_route\": true, \"stack\": \"mixed\"}",
                              "");
  smart = Replace(smart, "\"outbound\": \"direct\"}\n  ], \"final\"",
                  "\"outbound\": \"direct\"},\n    {\"domain_suffix\": [" + domains +
                      "], \"outbound\": \"direct\"}\n  ], \"final\"");
  for (const char* mode : {static_cast<const char*>(nullptr), "", "smart", "SMART"}) {
    EXPECT_EQ(BuildCoreConfig(Request(Node(), mode)), smart) << (mode ? mode : "(absent)");
  }
}

TEST(CoreConfigTest, DomainSuffixListIsSixtyTwoDistinctPlainLowercaseEntries) {
  ASSERT_EQ(DirectDomainSuffixes.size(), 62u);
  EXPECT_EQ(DirectDomainSuffixes.front(), "cn");
  std::set<std::string> distinct(DirectDomainSuffixes.begin(), DirectDomainSuffixes.end());
  EXPECT_EQ(distinct.size(), 62u);
  for (const std::string& suffix : DirectDomainSuffixes) {
    EXPECT_EQ(suffix, LowerCaseAscii(suffix));
    EXPECT_EQ(suffix, EscapeJsonString(suffix));
    EXPECT_EQ(suffix.find(' '), std::string::npos);
  }
  const std::string route = BuildRouteSection(true);
  size_t quotes = 0;
  for (char c : route.substr(route.find("[\"cn\""))) quotes += c == '"';
  // 62 quoted entries, then the quoted "outbound", "direct", "final", "proxy".
  EXPECT_EQ(quotes, 62u * 2 + 8);
}

TEST(CoreConfigTest, DefaultsForMissingNodeKeys) {
  EncodableValueMap node{{EncodableValue("host"), EncodableValue("h.example")},
                         {EncodableValue("uuid"), EncodableValue("u")},
                         {EncodableValue("path"), EncodableValue("")}};
  const std::string doc = BuildCoreConfig(Request(node, "other"));
  EXPECT_NE(doc.find("\"server\": \"h.example\", \"server_port\": 443,"), std::string::npos);
  EXPECT_NE(doc.find("\"server_name\": \"h.example\""), std::string::npos);
  EXPECT_NE(doc.find("\"Host\": \"h.example\""), std::string::npos);
  EXPECT_NE(doc.find("\"fingerprint\": \"chrome\""), std::string::npos);
  EXPECT_NE(doc.find("\"path\": \"/\""), std::string::npos);
}

TEST(CoreConfigTest, PortKinds) {
  auto port_of = [](const EncodableValue& port) {
    EncodableValueMap node = Node();
    node[EncodableValue("port")] = port;
    const std::string doc = BuildCoreConfig(Request(node));
    const size_t at = doc.find("\"server_port\": ");
    return doc.substr(at + 15, doc.find(',', at) - at - 15);
  };
  EXPECT_EQ(port_of(EncodableValue(2053)), "2053");
  EXPECT_EQ(port_of(EncodableValue(int64_t{8080})), "8080");
  EXPECT_EQ(port_of(EncodableValue(int64_t{0x100000000LL + 443})), "443");
  EXPECT_EQ(port_of(EncodableValue(int64_t{0xFFFFFFFFLL})), "-1");
  EXPECT_EQ(port_of(EncodableValue("8443")), "443");
  EXPECT_EQ(port_of(EncodableValue(8443.0)), "443");
  EXPECT_EQ(port_of(EncodableValue(-7)), "-7");
}

TEST(CoreConfigTest, UnusableNodesGiveNothing) {
  EXPECT_EQ(BuildCoreConfig({}), "");
  EncodableValueMap as_list{
      {EncodableValue("connectionConfig"), EncodableValue(flutter::EncodableValueList{})}};
  EXPECT_EQ(BuildCoreConfig(as_list), "");
  EncodableValueMap as_text{{EncodableValue("connectionConfig"), EncodableValue("host=x")}};
  EXPECT_EQ(BuildCoreConfig(as_text), "");
  EncodableValueMap node = Node();
  node[EncodableValue("host")] = EncodableValue("");
  EXPECT_EQ(BuildCoreConfig(Request(node)), "");
  node = Node();
  node.erase(EncodableValue("uuid"));
  EXPECT_EQ(BuildCoreConfig(Request(node)), "");
  node = Node();
  node[EncodableValue("uuid")] = EncodableValue(12);
  EXPECT_EQ(BuildCoreConfig(Request(node)), "");
}

TEST(CoreConfigTest, EscapingMakesValidJsonOfAnyText) {
  EXPECT_EQ(EscapeJsonString("a\"b\\c\nd\re\tf"), "a\\\"b\\\\c\\nd\\re\\tf");
  // Every other byte below 0x20 as \u00XX; DEL, '/' and UTF-8 stay as they are.
  EXPECT_EQ(EscapeJsonString(std::string("\0\f/\x01\x1f\x7f\xC3\xA9", 8)),
            "\\u0000\\u000c/\\u0001\\u001f\x7f\xC3\xA9");
  EncodableValueMap node = Node();
  node[EncodableValue("path")] = EncodableValue("/a\"b\\c\f");
  const std::string doc = BuildCoreConfig(Request(node));
  EXPECT_NE(doc.find("\"path\": \"/a\\\"b\\\\c\\u000c\""), std::string::npos);
}

TEST(CoreConfigTest, LookupAndLowerCase) {
  EncodableValueMap map{{EncodableValue("k"), EncodableValue("v")},
                        {EncodableValue("n"), EncodableValue(3)},
                        {EncodableValue("z"), EncodableValue()}};
  EXPECT_EQ(LookupStringValue(map, "k"), "v");
  EXPECT_EQ(LookupStringValue(map, "n"), "");
  EXPECT_EQ(LookupStringValue(map, "z"), "");
  EXPECT_EQ(LookupStringValue(map, "K"), "");
  EXPECT_EQ(LowerCaseAscii("GLoBAL \xC3\x89"), "global \xC3\x89");
}

}  // namespace
}  // namespace tessarin
