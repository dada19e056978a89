#include "tunnel/status_reports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_os_ports.h"

namespace tessarin {
namespace {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

// Keys in wire order with each value's kind (or its string).
std::string Describe(const EncodableValueMap& map) {
  std::string out;
  for (const auto& entry : map) {
    out += entry.first.Get<std::string>() + "=";
    if (const auto* text = entry.second.TryGet<std::string>()) {
      out += "'" + *text + "'";
    } else if (const auto* flag = entry.second.TryGet<bool>()) {
      out += *flag ? "true" : "false";
    } else if (entry.second.IsNull()) {
      out += "null";
    } else {
      out += "kind" + std::to_string(entry.second.Kind());
    }
    out += ";";
  }
  return out;
}

TEST(StatusReportsTest, Timestamps) {
  EXPECT_EQ(FormatUtcTimestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(FormatUtcTimestamp(1796552705), "2026-12-06T10:25:05Z");
  EXPECT_EQ(FormatUtcTimestamp(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(FormatUtcTimestamp(4102444799), "2099-12-31T23:59:59Z");
  tessarin_test::EventLog log;
  tessarin_test::FakeSystem system(&log);
  EXPECT_EQ(UtcTimestamp(system), "2026-12-06T10:25:05Z");  // the fraction is dropped
}

TEST(StatusReportsTest, IdleMap) {
  EXPECT_EQ(Describe(IdleStatus()),
            "connectedAt=null;latencyMs=null;message='Native tunnel bridge is idle.';nodeId=null;"
            "protocol='auto';regionCode=null;stage='disconnected';throughputMbps=null;");
}

TEST(StatusReportsTest, ActiveMapKeepsIdleNulls) {
  tessarin_test::EventLog log;
  tessarin_test::FakeSystem system(&log);
  EXPECT_EQ(Describe(ActiveStatus(system, "windows-singbox-x", "Windows system proxy is active.")),
            "connectedAt=null;latencyMs=null;message='Windows system proxy is active.';"
            "nodeId=null;protocol='vlessWs';regionCode=null;sessionId='windows-singbox-x';"
            "stage='connected';throughputMbps=null;updatedAt='2026-12-06T10:25:05Z';");
}

TEST(StatusReportsTest, ConnectedMapReadsNodeKeysAsStringsOnly) {
  tessarin_test::EventLog log;
  tessarin_test::FakeSystem system(&log);
  EncodableValueMap request{
      {EncodableValue("nodeId"), EncodableValue(7)},
      {EncodableValue("nodeName"), EncodableValue("Tokyo 3")},
      {EncodableValue("connectionConfig"),
       EncodableValue(EncodableValueMap{{EncodableValue("regionCode"), EncodableValue("JP")}})}};
  EXPECT_EQ(Describe(ConnectedStatus(system, request, "id", "msg")),
            "connectedAt='2026-12-06T10:25:05Z';latencyMs=null;message='msg';nodeId='';"
            "nodeName='Tokyo 3';protocol='vlessWs';regionCode='';sessionId='id';stage='connected';"
            "throughputMbps=null;updatedAt='2026-12-06T10:25:05Z';");
}

TEST(StatusReportsTest, ReadinessLooksUpTheCoreEachTime) {
  tessarin_test::EventLog log;
  tessarin_test::FakeSystem system(&log);
  EXPECT_EQ(Describe(ReadinessStatus(system)),
            "message='Windows sing-box proxy core is missing.';permissionRequired=false;"
            "platform='windows';ready=false;");
  system.existing[L"C:\\Apps\\tessarin\\bin\\sing-box.exe"] = true;
  EXPECT_EQ(Describe(ReadinessStatus(system)),
            "message='Windows sing-box proxy core is ready; TUN mode also requires administrator "
            "routing support.';permissionRequired=false;platform='windows';ready=true;");
  EXPECT_EQ(log.Count("sys.module"), 2u);
}

TEST(StatusReportsTest, MissingCoreDetailsNestsTheIdleMap) {
  flutter::MethodCall call("connect", nullptr);
  const EncodableValueMap details = MissingCoreDetails(call);
  ASSERT_EQ(details.size(), 2u);
  EXPECT_EQ(details.at(EncodableValue("method")), EncodableValue("connect"));
  EXPECT_EQ(details.at(EncodableValue("snapshot")), EncodableValue(IdleStatus()));
}

}  // namespace
}  // namespace tessarin
