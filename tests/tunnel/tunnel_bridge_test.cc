// The bridge from message bytes to reply bytes: the stand-in engine delivers,
// the real messenger, channel and codec decode, and the OS is faked.
#include "tunnel/tunnel_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel/binary_messenger_impl.h"
#include "channel/standard_method_codec.h"
#include "stand_ins/engine/stand_in_controls.h"
#include "tests/support/fake_os_ports.h"
#include "tunnel/diagnostics_log.h"

namespace tessarin {
namespace {

using flutter::EncodableValue;
using flutter::EncodableValueMap;
using Events = std::vector<std::string>;

constexpr wchar_t kCore[] = L"C:\\Apps\\tessarin\\bin\\sing-box.exe";
constexpr wchar_t kConfig[] = L"C:\\Apps\\tessarin\\tessarin-sing-box.json";

struct Reply {
  std::string kind;  // "success", "error", "notImplemented" or "none"
  std::string code;
  std::string message;
  EncodableValue value;
  std::string Stage() const {
    const auto* map = value.TryGet<EncodableValueMap>();
    return map ? LookupString(*map, "stage") : "";
  }
  static std::string LookupString(const EncodableValueMap& map, const char* key) {
    const auto found = map.find(EncodableValue(key));
    const std::string* text = found == map.end() ? nullptr : found->second.TryGet<std::string>();
    return text ? *text : "";
  }
};

class ReplyRecorder : public flutter::MethodResult {
 public:
  explicit ReplyRecorder(Reply* reply) : reply_(reply) {}
  void Success(const EncodableValue* result) override {
    reply_->kind = "success";
    if (result) reply_->value = *result;
  }
  void Error(const std::string& code, const std::string& message,
             const EncodableValue* details) override {
    reply_->kind = "error";
    reply_->code = code;
    reply_->message = message;
    if (details) reply_->value = *details;
  }
  void NotImplemented() override { reply_->kind = "notImplemented"; }

 private:
  Reply* reply_;
};

EncodableValueMap Node() {
  return {{EncodableValue("host"), EncodableValue("edge.example.net")},
          {EncodableValue("uuid"), EncodableValue("0f8e6a52-3c1d-4b7e-9a2f-5d6c7b8a9e01")}};
}

EncodableValue Request(const char* mode = "smart", EncodableValueMap node = Node()) {
  return EncodableValue(
      EncodableValueMap{{EncodableValue("connectionConfig"), EncodableValue(node)},
                        {EncodableValue("proxyMode"), EncodableValue(mode)},
                        {EncodableValue("nodeId"), EncodableValue("n1")}});
}

class TunnelBridgeTest : public testing::Test {
 protected:
  void SetUp() override {
    os_.system.existing[kCore] = true;
    platform_ = stand_in::CreateMessenger();
    messenger_ = std::make_unique<flutter::BinaryMessengerImpl>(platform_);
    bridge_.Initialize();
    bridge_.InstallChannel(messenger_.get());
    os_.log.events.clear();
  }
  void TearDown() override {
    bridge_.ReleaseChannel();
    stand_in::ShutDownMessenger(platform_);
  }

  Reply Send(const std::vector<uint8_t>& bytes) {
    const auto delivery = stand_in::Deliver(platform_, kTunnelChannelName, bytes);
    Reply reply;
    reply.kind = "none";
    EXPECT_EQ(delivery.responses, 1) << "every message is answered exactly once";
    if (delivery.responses == 0) return reply;
    if (delivery.bytes.empty()) {
      reply.kind = "notImplemented";
      return reply;
    }
    auto recorder = std::make_unique<ReplyRecorder>(&reply);
    EXPECT_TRUE(flutter::StandardMethodCodec::SharedInstance().DecodeReply(
        delivery.bytes.data(), delivery.bytes.size(), recorder.get()));
    CheckInvariants();
    return reply;
  }
  Reply Call(const std::string& method, const EncodableValue* args = nullptr) {
    flutter::MethodCall call(method, args ? std::make_unique<EncodableValue>(*args) : nullptr);
    return Send(*flutter::StandardMethodCodec::SharedInstance().EncodeCall(call));
  }
  Reply Connect(const EncodableValue& args) { return Call("connect", &args); }
  void CheckInvariants() {
    if (bridge_.active()) {
      EXPECT_NE(bridge_.coreProcessId(), 0u);
      EXPECT_FALSE(bridge_.sessionId().empty());
    } else {
      EXPECT_EQ(bridge_.coreProcessId(), 0u);
    }
  }
  void ConnectOk() {
    os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
    ASSERT_EQ(Connect(Request()).kind, "success");
    os_.log.events.clear();
  }

  tessarin_test::FakeOs os_;
  TunnelBridge bridge_{os_.Ports()};
  FlutterDesktopMessengerRef platform_ = nullptr;
  std::unique_ptr<flutter::BinaryMessengerImpl> messenger_;
};

TEST(TunnelBridgeStartTest, InitializeTakesPathsAndSwitchesOurLeftoverProxyOffOnly) {
  tessarin_test::FakeOs os;
  os.proxy.dwords["ProxyEnable"] = 1;
  os.proxy.strings["ProxyServer"] = "other.example:8080";
  TunnelBridge bridge(os.Ports());
  bridge.Initialize();
  EXPECT_EQ(bridge.appDirectory, L"C:\\Apps\\tessarin");
  EXPECT_EQ(bridge.configPath, kConfig);
  EXPECT_EQ(os.log.Count("reg.set"), 0u);  // another program's: left alone
  os.proxy.strings["ProxyServer"] =
      "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";
  TunnelBridge(os.Ports()).Initialize();  // ours, left by a crashed run
  EXPECT_EQ(os.log.Count("reg.set ProxyEnable=0"), 1u);
  EXPECT_EQ(os.log.Count("proc."), 0u);
}

TEST_F(TunnelBridgeTest, PrepareAndRequestPermissionAnswerReadiness) {
  Reply prepare = Call("prepare");
  EXPECT_EQ(prepare.kind, "success");
  EXPECT_EQ(Reply::LookupString(prepare.value.Get<EncodableValueMap>(), "platform"), "windows");
  EXPECT_EQ(Call("requestPermission").value, prepare.value);
  os_.system.existing.clear();
  Reply missing = Call("prepare");
  EXPECT_EQ(missing.kind, "success");
  EXPECT_EQ(missing.value.Get<EncodableValueMap>().at(EncodableValue("ready")),
            EncodableValue(false));
}

TEST_F(TunnelBridgeTest, UnknownNamesAndBadBytesGetEmptyReplies) {
  EXPECT_EQ(Call("Status").kind, "notImplemented");
  EXPECT_EQ(Call("connectx").kind, "notImplemented");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Send({0x03, 1, 0, 0, 0}).kind, "notImplemented");
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Unable to construct method call from message on channel tessarin/tunnel"),
            std::string::npos);
  EXPECT_TRUE(os_.log.events.empty());
}

TEST_F(TunnelBridgeTest, StatusWhileIdleMakesNoPlatformCall) {
  EXPECT_EQ(Call("status").Stage(), "disconnected");
  EXPECT_TRUE(os_.log.events.empty());
}

TEST_F(TunnelBridgeTest, ConnectSucceedsInOrder) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  Reply reply = Connect(Request());
  ASSERT_EQ(reply.kind, "success");
  const auto& map = reply.value.Get<EncodableValueMap>();
  EXPECT_EQ(Reply::LookupString(map, "message"),
            "Windows system proxy is active through sing-box.");
  EXPECT_EQ(Reply::LookupString(map, "sessionId"), "windows-singbox-2026-12-06T10:25:05Z");
  EXPECT_EQ(Reply::LookupString(map, "nodeId"), "n1");
  EXPECT_TRUE(bridge_.active());
  EXPECT_EQ(bridge_.coreProcessId(), 100u);
  EXPECT_EQ(os_.system.files[kConfig].substr(0, 2), "{\n");
  const Events& e = os_.log.events;
  ASSERT_GE(e.size(), 6u);
  EXPECT_EQ(e[0], "sys.exists C:\\Apps\\tessarin\\bin\\sing-box.exe");
  EXPECT_EQ(e[1], "sys.write C:\\Apps\\tessarin\\tessarin-sing-box.json");
  EXPECT_EQ(e[2].rfind("proc.launch \"C:\\Apps\\tessarin\\bin\\sing-box.exe\" run -c", 0), 0u);
  EXPECT_EQ(e[3], "sys.sleep 800");
  EXPECT_EQ(e[4], "proc.alive 100");
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 1u);

  Reply status = Call("status");
  EXPECT_EQ(Reply::LookupString(status.value.Get<EncodableValueMap>(), "sessionId"),
            bridge_.sessionId());
  EXPECT_EQ(Reply::LookupString(status.value.Get<EncodableValueMap>(), "message"),
            "Windows system proxy is active.");

  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  EXPECT_EQ(
      Reply::LookupString(Connect(Request("GLOBAL")).value.Get<EncodableValueMap>(), "message"),
      "Windows global mode requested sing-box TUN; verify routing with a network test.");
}

TEST_F(TunnelBridgeTest, RequestChecksComeFirstAndLeaveATunnelRunning) {
  ConnectOk();
  const EncodableValue text("x");
  const EncodableValue list(flutter::EncodableValueList{});
  for (const EncodableValue* args : {static_cast<const EncodableValue*>(nullptr), &text, &list}) {
    Reply reply = Call("connect", args);
    EXPECT_EQ(reply.code, "INVALID_ARGUMENT");
    EXPECT_EQ(reply.message, "Missing tunnel request.");
  }
  EncodableValueMap no_uuid = Node();
  no_uuid.erase(EncodableValue("uuid"));
  Reply reply = Connect(Request("smart", no_uuid));
  EXPECT_EQ(reply.code, "INVALID_ARGUMENT");
  EXPECT_EQ(reply.message, "Selected node is missing connection config.");
  EXPECT_TRUE(reply.value.IsNull());
  EXPECT_TRUE(bridge_.active());
  EXPECT_EQ(os_.log.Count("proc.terminate"), 0u);
  EXPECT_EQ(os_.log.Count("reg."), 0u);

  os_.system.existing.clear();
  reply = Connect(
      EncodableValue(EncodableValueMap{{EncodableValue("connectionConfig"), EncodableValue("x")}}));
  EXPECT_EQ(reply.code, "UNAVAILABLE");
  EXPECT_EQ(reply.message, "Windows sing-box proxy core is missing.");
  const auto& details = reply.value.Get<EncodableValueMap>();
  EXPECT_EQ(details.at(EncodableValue("method")), EncodableValue("connect"));
  EXPECT_EQ(details.at(EncodableValue("snapshot")).Get<EncodableValueMap>().size(), 8u);
  EXPECT_TRUE(bridge_.active());
}

TEST_F(TunnelBridgeTest, ReconnectStopsTheOldTunnelBeforeTheFileIsRewritten) {
  ConnectOk();
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  ASSERT_EQ(Connect(Request()).kind, "success");
  const Events& e = os_.log.events;
  EXPECT_EQ(e[3], "reg.set ProxyEnable=0");
  const auto ended = std::find(e.begin(), e.end(), "proc.terminate 100 wait 3000");
  EXPECT_EQ(ended + 1,
            std::find(e.begin(), e.end(), "sys.write C:\\Apps\\tessarin\\tessarin-sing-box.json"));
  EXPECT_EQ(bridge_.coreProcessId(), 101u);
}

TEST_F(TunnelBridgeTest, LaterFailuresLeaveTheBridgeIdle) {
  struct Case {
    const char* code;
    const char* message;
    void (*arrange)(tessarin_test::FakeOs&);
    size_t terminations;
  };
  const Case cases[] = {
      {"IO_ERROR", "Failed to write sing-box config.",
       [](tessarin_test::FakeOs& os) { os.system.writable = false; }, 1},
      {"START_FAILED", "Failed to start sing-box.",
       [](tessarin_test::FakeOs& os) { os.processes.launchable = false; }, 1},
      {"START_FAILED", "sing-box exited immediately.",
       [](tessarin_test::FakeOs& os) { os.processes.exits_at_once = true; }, 1},
      {"PROXY_TEST_FAILED", "Proxy node connectivity check failed. Please switch nodes and retry.",
       [](tessarin_test::FakeOs& os) { os.internet.script.clear(); }, 2},
      {"PROXY_FAILED", "Failed to enable Windows proxy.",
       [](tessarin_test::FakeOs& os) {
         os.proxy.openable = false;
         os.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
       },
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    os_.system.writable = true;
    os_.processes.launchable = true;
    os_.processes.exits_at_once = false;
    os_.proxy.openable = true;
    ConnectOk();
    c.arrange(os_);
    Reply reply = Connect(Request());
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(reply.message, c.message);
    EXPECT_TRUE(reply.value.IsNull());
    EXPECT_FALSE(bridge_.active());
    EXPECT_EQ(bridge_.coreProcessId(), 0u);
    EXPECT_TRUE(bridge_.sessionId().empty());  // a session lives only with its tunnel
    // The old core always, the new one when it had been started and was alive.
    EXPECT_EQ(os_.log.Count("proc.terminate"), c.terminations);
    EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=1"), 0u);
    EXPECT_EQ(Call("status").Stage(), "disconnected");
    EXPECT_TRUE(bridge_.sessionId().empty());
  }
}

TEST_F(TunnelBridgeTest, AProxyValueThatWasNotWrittenIsNoConnection) {
  os_.proxy.failing = "ProxyServer";
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  Reply reply = Connect(Request());
  EXPECT_EQ(reply.code, "PROXY_FAILED");
  EXPECT_EQ(reply.message, "Failed to enable Windows proxy.");
  EXPECT_FALSE(bridge_.active());
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);
  EXPECT_EQ(os_.log.Count("proc.terminate"), 1u);
}

TEST_F(TunnelBridgeTest, StatusIsTheWatchdogAndAnswersWithTheHeal) {
  ConnectOk();
  const std::string session = bridge_.sessionId();
  // Healed: the same document on the same port, the same session.
  os_.processes.running[100] = false;
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  EXPECT_EQ(Call("status").Stage(), "connected");
  EXPECT_EQ(bridge_.sessionId(), session);
  EXPECT_EQ(bridge_.coreProcessId(), 101u);
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 1u);
  EXPECT_EQ(os_.log.Count("proc.launch"), 1u);
  // A heal whose core carries nothing stops the tunnel.
  os_.processes.running[101] = false;
  EXPECT_EQ(Call("status").Stage(), "disconnected");
  EXPECT_TRUE(bridge_.sessionId().empty());
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);
  for (const auto& core : os_.processes.running) EXPECT_FALSE(core.second);
}

TEST_F(TunnelBridgeTest, DisconnectAndTeardown) {
  EXPECT_EQ(Call("disconnect").Stage(), "disconnected");
  EXPECT_EQ(os_.log.Count("reg.set"), 0u);  // looked; nothing of ours to switch off
  os_.log.events.clear();
  bridge_.Teardown();  // idle: only looked at
  EXPECT_EQ(os_.log.Count("reg.set"), 0u);
  EXPECT_EQ(os_.log.Count("proc."), 0u);

  ConnectOk();
  EXPECT_EQ(Call("disconnect").Stage(), "disconnected");
  EXPECT_EQ(os_.log.Count("proc.terminate 100"), 1u);
  EXPECT_FALSE(bridge_.active());

  ConnectOk();
  bridge_.Teardown();
  EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=0"), 1u);
  EXPECT_EQ(os_.log.Count("proc.terminate 101"), 1u);
  EXPECT_FALSE(bridge_.active());
  EXPECT_TRUE(bridge_.sessionId().empty());
}

TEST_F(TunnelBridgeTest, HealsThatHoldCostNothingAndFiveInARowThatDoNotStopTheTunnel) {
  ConnectOk();
  bridge_.CoreExited(99);   // not ours
  bridge_.CoreExited(100);  // still running: a stale notice
  EXPECT_TRUE(bridge_.active());
  EXPECT_EQ(os_.log.Count("reg.set"), 0u);
  // Each heal holds for a minute: none counts, however many.
  uint32_t core = 100;
  for (; core < 106; ++core) {
    os_.system.steady_ms += 60000;
    os_.processes.running[core] = false;
    os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
    bridge_.CoreExited(core);
    ASSERT_TRUE(bridge_.active());
    EXPECT_EQ(bridge_.coreProcessId(), core + 1);
    bridge_.CoreExited(core);  // already let go of
  }
  EXPECT_EQ(os_.log.Count("sys.sleep 1000"), 0u);  // and no back-off
  // Four that die at once are healed after a back-off each; the fifth stops.
  for (int i = 0; i < 5; ++i, ++core) {
    os_.processes.running[core] = false;
    os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
    bridge_.CoreExited(core);
  }
  EXPECT_FALSE(bridge_.active());
  EXPECT_TRUE(bridge_.sessionId().empty());
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);
  for (const char* wait :
       {"sys.sleep 1000", "sys.sleep 2000", "sys.sleep 4000", "sys.sleep 8000"}) {
    EXPECT_EQ(os_.log.Count(wait), 1u) << wait;
  }
  EXPECT_EQ(os_.log.Count("proc.launch"), 10u);  // none for the fifth
  EXPECT_EQ(Call("status").Stage(), "disconnected");
}

TEST_F(TunnelBridgeTest, WhatWakesBreakCostsNothingHoweverOften) {
  ConnectOk();
  // Six wakes within a minute, each finding the node out of reach at first:
  // each heal starts a row afresh, with no back-off and no stop.
  for (uint32_t core = 100; core < 106; ++core) {
    os_.system.steady_ms += 5000;
    os_.internet.script = {tessarin_test::FakeInternet::Outcome::kNoRequest,
                           tessarin_test::FakeInternet::Outcome::kBody};
    bridge_.WorldChanged("the machine resumed", true);
    ASSERT_TRUE(bridge_.active());
    EXPECT_EQ(bridge_.coreProcessId(), core + 1);
  }
  EXPECT_EQ(os_.log.Count("sys.sleep 1000"), 0u);
}

TEST_F(TunnelBridgeTest, AResumeOrANetworkChangeChecksTheTunnelOnce) {
  ConnectOk();
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  bridge_.WorldChanged("the machine resumed");
  EXPECT_EQ(bridge_.coreProcessId(), 100u);  // it carries traffic: left as it is
  EXPECT_EQ(os_.log.Count("inet.url"), 1u);
  // A core that listens and carries nothing is started again.
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kNoRequest,
                         tessarin_test::FakeInternet::Outcome::kBody};
  bridge_.WorldChanged("the network changed");
  EXPECT_TRUE(bridge_.active());
  EXPECT_EQ(bridge_.coreProcessId(), 101u);
  EXPECT_EQ(os_.log.Count("proc.terminate 100"), 1u);
  bridge_.Teardown();
  bridge_.WorldChanged("the machine resumed");  // no tunnel: nothing
  EXPECT_EQ(os_.log.Count("proc.launch"), 1u);
}

TEST_F(TunnelBridgeTest, WhatWindowsReallyDoesIsToldAndOnlyOurProxyIsSwitchedOff) {
  using Map = EncodableValueMap;
  os_.proxy.machine_policy = true;  // Windows would ignore this user's proxy
  Reply refused = Connect(Request());
  EXPECT_EQ(refused.code, "PROXY_FAILED");
  EXPECT_EQ(refused.message, kMachinePolicyMessage);
  EXPECT_EQ(os_.log.Count("sys.write") + os_.log.Count("proc.") + os_.log.Count("reg.set"), 0u);
  os_.proxy.machine_policy = false;

  os_.proxy.strings["AutoConfigURL"] = "http://wpad/proxy.pac";
  os_.proxy.connections["vpn"].flags = 1;
  os_.proxy.connections["corp"].flags = 1;
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  Reply connected = Connect(Request());
  EXPECT_EQ(Reply::LookupString(connected.value.Get<Map>(), "message"),
            std::string("Windows system proxy is active through sing-box. ") + kScriptNotice);
  EXPECT_EQ(Reply::LookupString(Call("status").value.Get<Map>(), "message"),
            std::string("Windows system proxy is active. ") + kScriptNotice);
  EXPECT_EQ(os_.proxy.connections["vpn"].flags, kProxyTypeDirect | kProxyTypeProxy);
  EXPECT_EQ(os_.proxy.strings["AutoConfigURL"], "http://wpad/proxy.pac");  // left alone

  // Another program takes the proxy, and one connection's, over.
  os_.proxy.strings["ProxyServer"] = "other.example:8080";
  os_.proxy.connections["corp"].flags = kProxyTypeDirect | kProxyTypeProxy;
  os_.proxy.connections["corp"].server = "other.example:8080";
  bridge_.ProxySettingsChanged();
  Reply status = Call("status");
  EXPECT_EQ(status.Stage(), "connected");
  EXPECT_EQ(Reply::LookupString(status.value.Get<Map>(), "message"), kTakenOverMessage);
  EXPECT_EQ(Call("disconnect").Stage(), "disconnected");
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 1u);
  EXPECT_EQ(os_.proxy.strings["ProxyServer"], "other.example:8080");
  EXPECT_EQ(os_.proxy.connections["vpn"].flags, kProxyTypeDirect);
  EXPECT_EQ(os_.proxy.connections["corp"].server, "other.example:8080");
  EXPECT_EQ(os_.proxy.connections["corp"].flags, kProxyTypeDirect | kProxyTypeProxy);
}

TEST_F(TunnelBridgeTest, APortHeldOrReservedStartsNoCore) {
  os_.system.port_state = SystemPort::PortState::kReserved;
  Reply reserved = Connect(Request());
  EXPECT_EQ(reserved.code, "START_FAILED");
  EXPECT_NE(reserved.message.find("netsh interface ipv4 show excludedportrange protocol=tcp"),
            std::string::npos);
  os_.system.port_state = SystemPort::PortState::kHeld;
  os_.system.port_owner = 4242;
  os_.system.port_owner_name = L"other-proxy.exe";
  Reply held = Connect(Request());
  EXPECT_EQ(held.code, "START_FAILED");
  EXPECT_NE(held.message.find("Port 20808 on 127.0.0.1 is in use by another program "
                              "(other-proxy.exe, process 4242)"),
            std::string::npos);
  EXPECT_EQ(os_.log.Count("proc.launch"), 0u);
  EXPECT_FALSE(bridge_.active());
}

TEST(TunnelBridgeGuardTest, AThrowAfterTheProxyWentOnLeavesNothingOn) {
  tessarin_test::FakeOs os;
  os.system.existing[kCore] = true;
  TunnelBridge bridge(os.GuardedPorts());
  bridge.Initialize();
  os.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  os.system.clock_throws = true;  // the session id's time, right after the switch-on
  Reply reply;
  testing::internal::CaptureStderr();
  bridge.HandleTunnelCall(
      flutter::MethodCall("connect", std::make_unique<EncodableValue>(Request())),
      std::make_unique<ReplyRecorder>(&reply));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(reply.code, "INTERNAL_ERROR");
  EXPECT_EQ(os.log.Count("reg.set ProxyEnable=1"), 1u);
  EXPECT_EQ(os.proxy.dwords["ProxyEnable"], 0u);
  EXPECT_EQ(os.log.Count("proc.terminate 100 wait 3000"), 1u);
  // At start, and once the connect's job has ended after the rollback.
  EXPECT_EQ(os.log.Count("guard.release"), 2u);
  EXPECT_EQ(os.log.events.back(), "guard.release");
  EXPECT_FALSE(bridge.active());
  EXPECT_EQ(bridge.coreProcessId(), 0u);
}

TEST(TunnelBridgeGuardTest, ArmedBeforeTheProxyIsOnAndReleasedAfterEverySwitchOff) {
  tessarin_test::FakeOs os;
  os.system.existing[kCore] = true;
  TunnelBridge bridge(os.GuardedPorts());
  bridge.Initialize();
  EXPECT_EQ(os.log.Count("guard.release"), 1u);  // a start clears an old logon reset
  const flutter::MethodCall call("connect", std::make_unique<EncodableValue>(Request()));
  Reply reply;
  os.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  bridge.HandleTunnelCall(call, std::make_unique<ReplyRecorder>(&reply));
  ASSERT_EQ(reply.kind, "success");
  const auto& events = os.log.events;
  const auto arm = std::find(events.begin(), events.end(), "guard.arm");
  const auto on = std::find(events.begin(), events.end(), "reg.set ProxyEnable=1");
  EXPECT_LT(arm, on);
  os.log.events.clear();
  bridge.Teardown();
  EXPECT_EQ(os.log.Count("guard.release"), 1u);
  EXPECT_LT(std::find(events.begin(), events.end(), "reg.set ProxyEnable=0"),
            std::find(events.begin(), events.end(), "guard.release"));

  // A switch-off that fails keeps the guard (and its logon reset) armed.
  ASSERT_EQ(os.log.Count("guard.release"), 1u);
  os.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  bridge.HandleTunnelCall(call, std::make_unique<ReplyRecorder>(&reply));
  os.proxy.failing = "ProxyEnable=0";
  os.log.events.clear();
  bridge.Teardown();
  EXPECT_EQ(os.log.Count("guard.release"), 0u);
  os.proxy.failing.clear();
  bridge.Teardown();

  os.proxy.failing = "ProxyServer";  // the switch-on fails: released again
  os.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  os.log.events.clear();
  bridge.HandleTunnelCall(call, std::make_unique<ReplyRecorder>(&reply));
  EXPECT_EQ(reply.code, "PROXY_FAILED");
  // Armed once, by the job (its start may wait), beside the probe.
  EXPECT_EQ(os.log.Count("guard.arm"), 1u);
  EXPECT_EQ(os.log.Count("guard.release"), 1u);

  // The guard ended while the proxy is on: started again, off the window's
  // thread; while idle: left alone.
  os.proxy.failing.clear();
  os.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  bridge.HandleTunnelCall(call, std::make_unique<ReplyRecorder>(&reply));
  os.log.events.clear();
  bridge.GuardExited();
  EXPECT_EQ(os.log.events, (std::vector<std::string>{"guard.rearm"}));
  bridge.Teardown();
  os.log.events.clear();
  bridge.GuardExited();
  EXPECT_TRUE(os.log.events.empty());
}

// Holds each job until the test runs it, as the worker thread would.
class FakeWorker : public WorkerPort {
 public:
  void Start(std::shared_ptr<CoreJob> job) override {
    if (start_throws) throw std::bad_alloc();
    jobs.push_back(std::move(job));
  }
  void RetryAfter(uint32_t ms) override { retries.push_back(ms); }
  bool start_throws = false;
  std::deque<std::shared_ptr<CoreJob>> jobs;
  std::vector<uint32_t> retries;
};

class TunnelBridgeJobTest : public testing::Test {
 protected:
  TunnelBridgeJobTest() {
    os_.system.existing[kCore] = true;
    bridge_.Initialize();
    os_.log.events.clear();
  }
  // Answers land in |replies_| in the order they are sent.
  void Call(const std::string& method, const EncodableValue* args = nullptr) {
    class Recorder : public ReplyRecorder {
     public:
      Recorder(std::deque<Reply>* replies, std::string method)
          : ReplyRecorder(&reply_), replies_(replies), method_(std::move(method)) {}
      void Success(const EncodableValue* result) override {
        ReplyRecorder::Success(result);
        Keep();
      }
      void Error(const std::string& code, const std::string& message,
                 const EncodableValue* details) override {
        ReplyRecorder::Error(code, message, details);
        Keep();
      }

     private:
      void Keep() {
        reply_.message = method_ + ": " + (reply_.code.empty() ? reply_.kind : reply_.code);
        replies_->push_back(reply_);
      }
      Reply reply_;
      std::deque<Reply>* replies_;
      std::string method_;
    };
    flutter::MethodCall call(method, args ? std::make_unique<EncodableValue>(*args) : nullptr);
    bridge_.HandleTunnelCall(call, std::make_unique<Recorder>(&replies_, method));
  }
  // The worker's part, then the window's.
  void RunJob() {
    ASSERT_FALSE(worker_.jobs.empty());
    std::shared_ptr<CoreJob> job = worker_.jobs.front();
    worker_.jobs.pop_front();
    RunCoreJob(*job, ports_);
    bridge_.JobFinished();
  }
  std::vector<std::string> Answered() const {
    std::vector<std::string> out;
    for (const Reply& reply : replies_) out.push_back(reply.message);
    return out;
  }

  tessarin_test::FakeOs os_;
  FakeWorker worker_;
  OsPorts ports_ = [this] {
    OsPorts ports = os_.GuardedPorts();
    ports.worker = &worker_;
    return ports;
  }();
  TunnelBridge bridge_{ports_};
  std::deque<Reply> replies_;
};

TEST_F(TunnelBridgeJobTest, CallsDuringAConnectWaitAndGetTheRepliesOfOneAtATime) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  Call("status");
  Call("prepare");
  Call("disconnect");
  Call("status");
  // (What never depends on the tunnel is answered at once.)
  EXPECT_EQ(Answered(), (std::vector<std::string>{"prepare: success"}));
  EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=1"), 0u);
  RunJob();
  // The disconnect waits for its core's end, and the status behind it too.
  EXPECT_EQ(Answered(),
            (std::vector<std::string>{"prepare: success", "connect: success", "status: success"}));
  EXPECT_EQ(replies_[2].Stage(), "connected");
  EXPECT_EQ(Reply::LookupString(replies_[2].value.Get<EncodableValueMap>(), "sessionId"),
            Reply::LookupString(replies_[1].value.Get<EncodableValueMap>(), "sessionId"));
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);  // the disconnect's switch-off ran
  RunJob();
  EXPECT_EQ(Answered().size(), 5u);
  EXPECT_EQ(replies_[3].Stage(), "disconnected");
  EXPECT_EQ(replies_[4].Stage(), "disconnected");
  EXPECT_EQ(os_.log.Count("proc.terminate 100 wait 3000"), 1u);
  EXPECT_FALSE(bridge_.Busy());
}

TEST_F(TunnelBridgeJobTest, AThrowBeforeTheAnswerLeavesNoCoreAndOneAnswer) {
  const EncodableValue request = Request();
  // A tunnel runs; the next connect's job cannot be started.
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  Call("connect", &request);
  RunJob();
  ASSERT_TRUE(bridge_.active());
  worker_.start_throws = true;
  Call("connect", &request);
  Call("status");
  EXPECT_EQ(Answered(), (std::vector<std::string>{"connect: success", "connect: INTERNAL_ERROR",
                                                  "status: success"}));
  EXPECT_EQ(replies_[2].Stage(), "disconnected");
  EXPECT_EQ(os_.log.Count("proc.terminate 100 wait 0"), 1u);  // the old core, not waited for
  EXPECT_FALSE(bridge_.Busy());
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);

  // What runs beside the probe cannot be had once the core runs: that core
  // is ended, not "process 0".
  worker_.start_throws = false;
  os_.system.threads_until_throw = 2;  // the warm-up's start is the first
  Call("connect", &request);
  RunJob();
  EXPECT_EQ(replies_.back().message, "connect: INTERNAL_ERROR");
  EXPECT_EQ(os_.log.Count("proc.terminate 101 wait 3000"), 1u);
  EXPECT_EQ(os_.log.Count("proc.terminate 0"), 0u);
  EXPECT_FALSE(bridge_.active());
}

// A guarded bridge over fakes, started, whose core is there and whose node
// answers the first attempt; |log|, if any, is its log.
struct GuardedBridge {
  explicit GuardedBridge(LogPort* log = nullptr) : bridge(Ports(log)) { bridge.Initialize(); }
  OsPorts Ports(LogPort* log) {
    os.system.existing[kCore] = true;
    os.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
    OsPorts ports = os.GuardedPorts();
    ports.log = log;
    return ports;
  }
  tessarin_test::FakeOs os;
  TunnelBridge bridge;
};

TEST(TunnelBridgeAnswerTest, AReplyWhoseLogLineThrowsIsSentOnceAndKept) {
  class ThrowingLog : public LogPort {
   public:
    void Write(const std::string& text) override {
      if (text.rfind("call ", 0) == 0) throw std::runtime_error("disk gone");
    }
    void MaskFromNowOn(const std::string&) override {}
  };
  ThrowingLog log;
  GuardedBridge guarded(&log);
  tessarin_test::FakeOs& os = guarded.os;
  TunnelBridge& bridge = guarded.bridge;
  int answers = 0;
  Reply reply;
  class Counting : public ReplyRecorder {
   public:
    Counting(Reply* reply, int* answers) : ReplyRecorder(reply), answers_(answers) {}
    void Success(const EncodableValue* value) override {
      ++*answers_;
      ReplyRecorder::Success(value);
    }
    void Error(const std::string& code, const std::string& message,
               const EncodableValue* details) override {
      ++*answers_;
      ReplyRecorder::Error(code, message, details);
    }

   private:
    int* answers_;
  };
  flutter::MethodCall call("connect", std::make_unique<EncodableValue>(Request()));
  testing::internal::CaptureStderr();
  bridge.HandleTunnelCall(call, std::make_unique<Counting>(&reply, &answers));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(reply.Stage(), "connected");
  EXPECT_TRUE(bridge.active());  // what the interface was told stands
  EXPECT_EQ(os.proxy.dwords["ProxyEnable"], 1u);
}

TEST(TunnelBridgeGuardTest, ATakenOverDisconnectKeepsTheLogonResetForOurValuesComingBack) {
  GuardedBridge guarded;
  tessarin_test::FakeOs& os = guarded.os;
  TunnelBridge& bridge = guarded.bridge;
  Reply reply;
  bridge.HandleTunnelCall(
      flutter::MethodCall("connect", std::make_unique<EncodableValue>(Request())),
      std::make_unique<ReplyRecorder>(&reply));
  ASSERT_EQ(reply.Stage(), "connected");
  os.proxy.strings["ProxyServer"] = "other.example:8080";  // saved ours, set its own
  bridge.ProxySettingsChanged();
  os.log.events.clear();
  bridge.HandleTunnelCall(flutter::MethodCall("disconnect", nullptr),
                          std::make_unique<ReplyRecorder>(&reply));
  EXPECT_EQ(os.log.Count("guard.release keeping the logon reset"), 1u);
  // It exits and restores what it saved: ours, pointing at nothing.
  os.proxy.strings["ProxyServer"] =
      "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";
  bridge.ProxySettingsChanged();
  EXPECT_EQ(os.proxy.dwords["ProxyEnable"], 0u);
}

TEST(TunnelBridgeAnswerTest, AnAnswerThatFailsOnItsWayIsFollowedByTheFallback) {
  // The reply's encoding runs out of memory: nothing went out, so the
  // connect is rolled back and told it failed.
  class FailingOnce : public ReplyRecorder {
   public:
    explicit FailingOnce(Reply* reply) : ReplyRecorder(reply) {}
    void Success(const EncodableValue*) override { throw std::bad_alloc(); }
  };
  GuardedBridge guarded;
  tessarin_test::FakeOs& os = guarded.os;
  TunnelBridge& bridge = guarded.bridge;
  Reply reply;
  flutter::MethodCall call("connect", std::make_unique<EncodableValue>(Request()));
  testing::internal::CaptureStderr();
  bridge.HandleTunnelCall(call, std::make_unique<FailingOnce>(&reply));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(reply.code, "INTERNAL_ERROR");
  EXPECT_FALSE(bridge.active());
  EXPECT_EQ(os.proxy.dwords["ProxyEnable"], 0u);
  EXPECT_EQ(os.log.Count("proc.terminate 100"), 1u);
}

TEST_F(TunnelBridgeJobTest, ACloseDuringAConnectLeavesNoCoreAndTheProxyOff) {
  using Outcome = tessarin_test::FakeInternet::Outcome;
  struct Case {
    const char* step;
    void (*arrange)(tessarin_test::FakeOs&);
    const char* sleep_to_close_after;  // null: close while an attempt is blocked
  };
  const Case cases[] = {
      {"the start check",
       [](tessarin_test::FakeOs& os) {
         os.system.listeners = [](uint64_t) { return std::vector<uint32_t>(); };
       },
       "sys.sleep 15"},
      {"the pause between attempts",
       [](tessarin_test::FakeOs& os) { os.internet.script = {Outcome::kEmptyBody}; },
       "sys.sleep 500"},
      {"a silent attempt",
       [](tessarin_test::FakeOs& os) { os.internet.script = {Outcome::kSilent}; }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    tessarin_test::FakeOs os;
    os.system.existing[kCore] = true;
    FakeWorker worker;
    OsPorts ports = os.GuardedPorts();
    ports.worker = &worker;
    TunnelBridge bridge(ports);
    bridge.Initialize();
    c.arrange(os);
    Reply reply;
    const flutter::MethodCall connect("connect", std::make_unique<EncodableValue>(Request()));
    bridge.HandleTunnelCall(connect, std::make_unique<ReplyRecorder>(&reply));
    Reply status;
    bridge.HandleTunnelCall(flutter::MethodCall("status", nullptr),
                            std::make_unique<ReplyRecorder>(&status));
    ASSERT_EQ(worker.jobs.size(), 1u);
    std::shared_ptr<CoreJob> job = worker.jobs.front();
    if (c.sleep_to_close_after != nullptr) {
      os.system.on_sleep = [&] {
        // (Not the log's last event: the guard's start writes there meanwhile.)
        const std::string slept = "sys.sleep " + std::to_string(os.system.last_sleep_ms);
        if (slept == c.sleep_to_close_after) bridge.Teardown();
      };
      RunCoreJob(*job, ports);
    } else {
      std::thread run([&] { RunCoreJob(*job, ports); });
      os.internet.WaitForSilent(1);
      bridge.Teardown();
      run.join();
      os.internet.ReleaseSilent();
      for (int i = 0; i < 500 && os.log.Count("inet.close session") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    bridge.JobFinished();  // the cancelled job's end: nothing is answered
    EXPECT_EQ(job->outcome, CoreJob::Outcome::kCancelled);
    EXPECT_EQ(reply.kind, "");  // the engine is ending: nobody to answer
    EXPECT_EQ(status.kind, "");
    EXPECT_FALSE(os.processes.running[100]);
    EXPECT_EQ(os.log.Count("proc.terminate 100"), 1u);
    EXPECT_EQ(os.log.Count("reg.set ProxyEnable=1"), 0u);
    // A guard armed beside the probe goes once the cancelled job has ended.
    const auto last_guard =
        std::find_if(os.log.events.rbegin(), os.log.events.rend(),
                     [](const std::string& e) { return e.rfind("guard.", 0) == 0; });
    ASSERT_NE(last_guard, os.log.events.rend());
    EXPECT_EQ(*last_guard, "guard.release");
    EXPECT_FALSE(bridge.active());
    EXPECT_EQ(bridge.coreProcessId(), 0u);
  }
}

TEST_F(TunnelBridgeJobTest, ACloseAfterTheJobKeptItsCoreEndsThatCore) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  std::shared_ptr<CoreJob> job = worker_.jobs.front();
  RunCoreJob(*job, ports_);  // done, but the window has not been told yet
  bridge_.Teardown();
  bridge_.JobFinished();
  EXPECT_EQ(job->outcome, CoreJob::Outcome::kReady);
  EXPECT_EQ(os_.log.Count("proc.terminate 100 wait 0"), 1u);
  EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=1"), 0u);
  // The guard the job armed goes.
  const auto last_guard =
      std::find_if(os_.log.events.rbegin(), os_.log.events.rend(),
                   [](const std::string& e) { return e.rfind("guard.", 0) == 0; });
  ASSERT_NE(last_guard, os_.log.events.rend());
  EXPECT_EQ(*last_guard, "guard.release");
  EXPECT_TRUE(replies_.empty());
}

TEST_F(TunnelBridgeJobTest, ACoreThatEndedBeforeItsReplyIsNeverConnected) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  std::shared_ptr<CoreJob> job = worker_.jobs.front();
  worker_.jobs.pop_front();
  RunCoreJob(*job, ports_);
  ASSERT_EQ(job->outcome, CoreJob::Outcome::kReady);
  os_.processes.running[100] = false;  // its exit notice comes before the outcome
  bridge_.CoreExited(100);
  bridge_.JobFinished();
  EXPECT_EQ(Answered(), (std::vector<std::string>{"connect: START_FAILED"}));
  EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=1"), 0u);
  EXPECT_EQ(os_.log.events.back(), "guard.release");
  EXPECT_FALSE(bridge_.active());
  EXPECT_EQ(bridge_.coreProcessId(), 0u);
}

TEST_F(TunnelBridgeJobTest, NoJobStartsBesideACancelledOne) {
  const EncodableValue request = Request();
  Call("connect", &request);
  bridge_.Teardown("the session ends");  // the engine lives on
  Call("connect", &request);
  Call("status");
  ASSERT_EQ(worker_.jobs.size(), 1u);  // the cancelled one only
  EXPECT_TRUE(bridge_.Busy());
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  RunJob();  // the cancelled job ends; the waiting connect starts its own
  EXPECT_TRUE(replies_.empty());
  ASSERT_EQ(worker_.jobs.size(), 1u);
  RunJob();
  EXPECT_EQ(Answered(), (std::vector<std::string>{"connect: success", "status: success"}));
  EXPECT_EQ(replies_[1].Stage(), "connected");
  EXPECT_EQ(os_.log.Count("proc.launch"), 1u);  // the cancelled job launched nothing
}

TEST_F(TunnelBridgeJobTest, AWaitingCallThatThrowsIsAnsweredAndTheRestGoOn) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  Call("connect", &request);  // it throws: the core's file cannot be looked at
  Call("status");
  os_.system.exists_throws = true;
  testing::internal::CaptureStderr();
  RunJob();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Answered(), (std::vector<std::string>{"connect: success", "connect: INTERNAL_ERROR",
                                                  "status: success"}));
  EXPECT_EQ(replies_[2].Stage(), "connected");
}

TEST_F(TunnelBridgeJobTest, AFailedSwitchOffIsTriedAgainUntilItWorks) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  RunJob();
  os_.proxy.failing = "ProxyEnable=0";
  Call("disconnect");
  RunJob();
  bridge_.RetryProxyOff();
  EXPECT_EQ(worker_.retries, (std::vector<uint32_t>{1000, 2000}));
  EXPECT_EQ(os_.log.Count("guard.release"), 0u);  // armed while it may be on
  os_.proxy.failing.clear();
  bridge_.RetryProxyOff();
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);
  EXPECT_EQ(os_.log.Count("guard.release"), 1u);
  os_.log.events.clear();
  bridge_.RetryProxyOff();  // nothing left to do
  EXPECT_TRUE(os_.log.events.empty());
  EXPECT_EQ(worker_.retries.size(), 2u);
}

TEST_F(TunnelBridgeJobTest, AConnectStopsAHealAndOneThatWouldBeRefusedDoesNot) {
  using Outcome = tessarin_test::FakeInternet::Outcome;
  os_.internet.script = {Outcome::kBody, Outcome::kBody, Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  RunJob();
  os_.processes.running[100] = false;
  bridge_.CoreExited(100);  // a heal starts
  Call("connect");          // no node
  os_.proxy.machine_policy = true;
  Call("connect", &request);  // refused by policy
  EXPECT_FALSE(worker_.jobs.front()->signal->Cancelled());
  EXPECT_EQ(Answered().size(), 3u);  // refused at once, not after the heal
  RunJob();                          // healed; both refused, the tunnel left as it is
  EXPECT_EQ(Answered(), (std::vector<std::string>{"connect: success", "connect: INVALID_ARGUMENT",
                                                  "connect: PROXY_FAILED"}));
  EXPECT_TRUE(bridge_.active());
  os_.proxy.machine_policy = false;
  os_.processes.running[101] = false;
  bridge_.CoreExited(101);  // another heal
  const std::shared_ptr<CoreJob> heal = worker_.jobs.front();
  Call("connect", &request);  // the user's: the heal goes
  EXPECT_TRUE(heal->signal->Cancelled());
  RunJob();
  RunJob();  // the connect's own, at once
  EXPECT_EQ(replies_.back().message, "connect: success");
  EXPECT_TRUE(bridge_.active());
}

TEST_F(TunnelBridgeJobTest, OurOwnSwitchOffReadBackIsNoTakeover) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  RunJob();
  // A VPN's proxy is still being given back when the disconnect's main
  // values are off; the retry then reads the ProxyEnable=0 it wrote itself.
  os_.proxy.connections_running = true;
  Call("disconnect");
  RunJob();
  os_.proxy.connections_running = false;
  bridge_.RetryProxyOff();
  EXPECT_FALSE(bridge_.ProxyOffPending());
  EXPECT_EQ(os_.log.Count("guard.release keeping the logon reset"), 0u);
  EXPECT_EQ(os_.log.Count("guard.release"), 1u);
}

TEST_F(TunnelBridgeJobTest, OurValuesPutBackDuringAFailedConnectKeepTheirGuard) {
  const EncodableValue request = Request();
  Call("connect", &request);
  // Another program puts ours back while the connect runs, and they cannot
  // be switched off; then the connect fails.
  os_.proxy.dwords["ProxyEnable"] = 1;
  os_.proxy.strings["ProxyServer"] =
      "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";
  os_.proxy.failing = "ProxyEnable=0";
  bridge_.ProxySettingsChanged();
  RunJob();
  EXPECT_EQ(replies_.back().message, "connect: PROXY_TEST_FAILED");
  EXPECT_EQ(os_.log.Count("guard.release"), 0u);
  EXPECT_TRUE(bridge_.ProxyOffPending());
  os_.proxy.failing.clear();
  bridge_.RetryProxyOff();
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);
  EXPECT_EQ(os_.log.Count("guard.release"), 1u);
}

TEST_F(TunnelBridgeJobTest, AFailedSwitchOffIsTriedAgainWhileAJobRuns) {
  os_.internet.script = {tessarin_test::FakeInternet::Outcome::kBody,
                         tessarin_test::FakeInternet::Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  RunJob();
  os_.proxy.failing = "ProxyEnable=0";
  Call("connect", &request);  // the reconnect's switch-off fails
  os_.proxy.failing.clear();
  os_.log.events.clear();
  bridge_.RetryProxyOff();  // its job still runs
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);
  EXPECT_EQ(os_.log.Count("guard.release"), 0u);  // the job's, until its end
  RunJob();
  EXPECT_EQ(replies_.back().message, "connect: success");
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 1u);
}

TEST_F(TunnelBridgeJobTest, AResumeDuringAConnectOrAHealIsCheckedAfterItAndAStatusNeverWaits) {
  using Outcome = tessarin_test::FakeInternet::Outcome;
  os_.internet.script = {Outcome::kBody, Outcome::kBody, Outcome::kBody, Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  bridge_.WorldChanged("the machine resumed");  // the connect's probe may have looked before
  RunJob();
  ASSERT_EQ(worker_.jobs.size(), 1u);  // the check
  EXPECT_EQ(worker_.jobs.front()->checkCore, 100u);
  RunJob();
  os_.processes.running[100] = false;
  bridge_.CoreExited(100);  // a heal starts
  bridge_.WorldChanged("the network changed");
  Call("status");  // answered now, not after the heal
  ASSERT_EQ(replies_.size(), 2u);
  EXPECT_EQ(replies_[1].Stage(), "connecting");
  EXPECT_EQ(Reply::LookupString(replies_[1].value.Get<EncodableValueMap>(), "sessionId"),
            Reply::LookupString(replies_[0].value.Get<EncodableValueMap>(), "sessionId"));
  RunJob();
  EXPECT_TRUE(bridge_.active());
  ASSERT_EQ(worker_.jobs.size(), 1u);
  EXPECT_EQ(worker_.jobs.front()->checkCore, 101u);
}

TEST_F(TunnelBridgeJobTest, NoNetworkIsWaitedForAndAQuickRestartKeepsOurProxyOn) {
  using Outcome = tessarin_test::FakeInternet::Outcome;
  using Network = SystemPort::Network;
  os_.internet.script = {Outcome::kBody};
  const EncodableValue request = Request();
  Call("connect", &request);
  RunJob();
  auto status = [&] {
    Call("status");
    return Reply::LookupString(replies_.back().value.Get<EncodableValueMap>(), "message");
  };
  // A check that finds no traffic and no network heals nothing: the core
  // and our proxy stay, and the wait for the network is a job of its own.
  os_.system.network = Network::kNone;
  bridge_.WorldChanged("the network changed");
  RunJob();
  EXPECT_EQ(status(), kNoNetworkMessage);
  EXPECT_EQ(replies_.back().Stage(), "connecting");
  EXPECT_EQ(os_.log.Count("proc.terminate"), 0u);
  EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=0"), 0u);
  // Back for 2 s: looked at again, the same core.
  os_.system.network = Network::kUp;
  os_.system.advance_waits = true;
  RunJob();
  os_.system.advance_waits = false;  // (the probe waits for its thread)
  os_.internet.script = {Outcome::kBody};
  RunJob();
  EXPECT_EQ(status(), "Windows system proxy is active.");
  EXPECT_EQ(os_.log.Count("proc.launch"), 1u);

  // A core that ends: our proxy stays on while the next one starts quickly.
  os_.processes.running[100] = false;
  bridge_.CoreExited(100);
  EXPECT_EQ(worker_.retries.back(), 1500u);
  os_.internet.script = {Outcome::kBody};
  RunJob();
  EXPECT_EQ(bridge_.coreProcessId(), 101u);
  EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=0"), 0u);
  // One that takes longer switches it off at its time; one that then finds
  // no network waits for it, the proxy off.
  os_.processes.running[101] = false;
  bridge_.CoreExited(101);
  os_.system.steady_ms += 1500;
  bridge_.RetryProxyOff();
  EXPECT_EQ(os_.proxy.dwords["ProxyEnable"], 0u);
  os_.system.network = Network::kNone;
  os_.internet.script.clear();
  RunJob();
  EXPECT_EQ(status(), kNoNetworkMessage);
  EXPECT_EQ(os_.log.Count("reg.set ProxyEnable=1"), 2u);  // the connect's, the quick restart's
  // The user's disconnect ends the wait.
  Call("disconnect");
  RunJob();
  EXPECT_EQ(replies_.back().Stage(), "disconnected");
  EXPECT_FALSE(bridge_.Busy());
  EXPECT_EQ(os_.log.Count("proc.launch"), 3u);
}

}  // namespace
}  // namespace tessarin
