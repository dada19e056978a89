// The stand-in core must accept exactly what a strict core accepts: every
// document the host writes, and none of the broken ones.
#include <gtest/gtest.h>

#include <string>

#include "channel/encodable_value.h"
#include "stand_ins/core/core_document.h"
#include "tunnel/core_config.h"

namespace {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

std::string Document(const std::string& mode, const EncodableValue& port,
                     const std::string& uuid = "0f0e0d0c-0b0a-4998-8776-655443322110",
                     const std::string& fp = "") {
  EncodableValueMap node = {{EncodableValue("host"), EncodableValue("node.example")},
                            {EncodableValue("uuid"), EncodableValue(uuid)},
                            {EncodableValue("port"), port},
                            {EncodableValue("fp"), EncodableValue(fp)}};
  return tessarin::BuildCoreConfig({{EncodableValue("proxyMode"), EncodableValue(mode)},
                                    {EncodableValue("connectionConfig"), EncodableValue(node)}});
}

TEST(CoreDocumentTest, AcceptsWhatTheHostWrites) {
  for (const char* mode : {"smart", "global", "other"}) {
    stand_in::CoreDocument document;
    std::string error;
    ASSERT_TRUE(stand_in::ReadCoreDocument(Document(mode, EncodableValue(int32_t{8443})), &document,
                                           &error))
        << mode << ": " << error;
    EXPECT_EQ(document.listen, "127.0.0.1");
    EXPECT_EQ(document.listen_port, 20808);
    EXPECT_EQ(document.has_tun, std::string(mode) == "global");
    const stand_in::Outbound* proxy = document.FindOutbound("proxy");
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(proxy->server, "node.example");
    EXPECT_EQ(proxy->server_port, 8443);
    EXPECT_EQ(document.final_outbound, "proxy");
  }
}

TEST(CoreDocumentTest, RefusesWhatACoreRefuses) {
  struct Case {
    std::string text;
    const char* why;
  };
  const std::string good = Document("smart", EncodableValue(int32_t{443}));
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const Case cases[] = {
      {Document("smart", EncodableValue(int32_t{0})), "server_port: port 0 out of range"},
      {Document("smart", EncodableValue(int64_t{65536})), "out of range"},
      {Document("smart", EncodableValue(int32_t{443}), "not-a-uuid"), "not a uuid"},
      {Document("smart", EncodableValue(int32_t{443}), "0f0e0d0c-0b0a-4998-8776-65544332211g"),
       "not a uuid"},
      {Document("smart", EncodableValue(int32_t{443}), "0f0e0d0c-0b0a-4998-8776-655443322110",
                "netscape"),
       "unknown fingerprint"},
      {replaced("\"listen\": \"127.0.0.1\"", "\"listen\": \"localhost\""), "not an IP address"},
      {replaced("\"listen_port\": 20808", "\"listen_port\": \"20808\""), "expected an integer"},
      {replaced("\"type\": \"mixed\"", "\"type\": \"socks9\""), "unknown inbound type"},
      {replaced("\"type\": \"ws\"", "\"type\": \"grpc\""), "unknown transport"},
      {replaced("\"flow\": \"\"", "\"flow\": \"\", \"extra\": 1"), "unknown field \"extra\""},
      {replaced("\"final\": \"proxy\"", "\"final\": \"nowhere\""), "no outbound tagged"},
      {replaced("\"outbound\": \"direct\"", "\"outbound\": \"block\""), "no outbound tagged"},
      {replaced("{\"type\": \"direct\", \"tag\": \"direct\"}",
                "{\"type\": \"direct\", \"tag\": \"proxy\"}"),
       "duplicate tag"},
      {good.substr(0, good.size() - 3), "decode config"},
  };
  for (const Case& c : cases) {
    stand_in::CoreDocument document;
    std::string error;
    EXPECT_FALSE(stand_in::ReadCoreDocument(c.text, &document, &error)) << c.why;
    EXPECT_NE(error.find(c.why), std::string::npos) << "got: " << error;
  }
}

TEST(CoreDocumentTest, RoutesByTheRules) {
  stand_in::CoreDocument smart;
  std::string error;
  ASSERT_TRUE(
      stand_in::ReadCoreDocument(Document("smart", EncodableValue(int32_t{443})), &smart, &error));
  EXPECT_EQ(stand_in::RouteDestination(smart, "www.cloudflare.com"), "proxy");
  EXPECT_EQ(stand_in::RouteDestination(smart, "www.baidu.com"), "direct");
  EXPECT_EQ(stand_in::RouteDestination(smart, "WWW.QQ.COM"), "direct");
  EXPECT_EQ(stand_in::RouteDestination(smart, "example.cn"), "direct");
  EXPECT_EQ(stand_in::RouteDestination(smart, "notbaidu.com"), "proxy") << "suffix, not substring";
  EXPECT_EQ(stand_in::RouteDestination(smart, "192.168.1.10"), "direct");
  EXPECT_EQ(stand_in::RouteDestination(smart, "172.31.0.1"), "direct");
  EXPECT_EQ(stand_in::RouteDestination(smart, "172.32.0.1"), "proxy");
  EXPECT_EQ(stand_in::RouteDestination(smart, "fd00::1"), "direct");
  EXPECT_EQ(stand_in::RouteDestination(smart, "8.8.8.8"), "proxy");
  // A name is never resolved, even one that would be private.
  EXPECT_EQ(stand_in::RouteDestination(smart, "localhost"), "proxy");

  stand_in::CoreDocument global;
  ASSERT_TRUE(stand_in::ReadCoreDocument(Document("global", EncodableValue(int32_t{443})), &global,
                                         &error));
  EXPECT_EQ(stand_in::RouteDestination(global, "www.baidu.com"), "proxy");
  EXPECT_EQ(stand_in::RouteDestination(global, "10.0.0.1"), "direct");
}

}  // namespace
