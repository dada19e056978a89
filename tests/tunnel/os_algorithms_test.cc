// The proxy switch, the probe and the core process paths, against fake ports.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_os_ports.h"
#include "tunnel/connectivity_probe.h"
#include "tunnel/core_job.h"
#include "tunnel/core_process.h"
#include "tunnel/system_proxy.h"

namespace tessarin {
namespace {

using Outcome = tessarin_test::FakeInternet::Outcome;
// Where the deadline is not what is tested: a thread that a loaded machine
// (Wine setting up a new prefix) starts late must not fail an attempt.
constexpr uint32_t kUnhurried = 60000;
using Events = std::vector<std::string>;

TEST(SystemProxyTest, SwitchingOnWritesThreeValuesThenNotifies) {
  tessarin_test::FakeOs os;
  EXPECT_TRUE(SetSystemProxy(os.proxy, true));
  EXPECT_EQ(os.log.events, (Events{"reg.open to check", "reg.set ProxyEnable=1",
                                   "reg.set ProxyServer=http=127.0.0.1:20808;https=127.0.0.1:20808;"
                                   "socks=127.0.0.1:20808 (130 bytes)",
                                   "reg.set ProxyOverride=<local> (16 bytes)", "reg.close",
                                   "inet.option 39", "inet.option 37"}));
}

TEST(SystemProxyTest, SwitchingOffTouchesOnlyProxyEnable) {
  tessarin_test::FakeOs os;
  EXPECT_TRUE(SetSystemProxy(os.proxy, false));
  EXPECT_TRUE(SetSystemProxy(os.proxy, false));
  const Events once{"reg.open", "reg.set ProxyEnable=0", "reg.close", "inet.option 39",
                    "inet.option 37"};
  Events twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(os.log.events, twice);
}

TEST(SystemProxyTest, UnopenableKeyChangesAndNotifiesNothing) {
  tessarin_test::FakeOs os;
  os.proxy.openable = false;
  EXPECT_FALSE(SetSystemProxy(os.proxy, true));
  EXPECT_EQ(os.log.events, (Events{"reg.open to check"}));
}

TEST(SystemProxyTest, AFailedWriteIsReportedAndLeavesTheProxyOff) {
  for (const char* failing : {"ProxyEnable=1", "ProxyServer", "ProxyOverride"}) {
    SCOPED_TRACE(failing);
    tessarin_test::FakeOs os;
    os.proxy.dwords["ProxyEnable"] = 1;  // left on by someone else
    os.proxy.failing = failing;
    EXPECT_FALSE(SetSystemProxy(os.proxy, true));
    // The switch goes back as it was: someone else's proxy stays on. Only
    // once our server is in does the proxy go off.
    const bool unchanged = std::string(failing) != "ProxyOverride";
    EXPECT_EQ(os.proxy.dwords["ProxyEnable"], unchanged ? 1u : 0u);
    EXPECT_EQ(os.log.events.back(), "inet.option 37");
  }
  tessarin_test::FakeOs os;
  os.proxy.failing = "ProxyEnable=0";
  EXPECT_FALSE(SetSystemProxy(os.proxy, false));
}

TEST(SystemProxyTest, DialUpConnectionsGetBackExactlyWhatTheyHad) {
  tessarin_test::FakeOs os;
  const std::string ours = "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";
  // A corporate VPN with flags 5 and its own script, and one that hangs up
  // while connected.
  auto& vpn = os.proxy.connections["corp vpn"];
  vpn.flags = 5;
  vpn.script = "http://wpad.corp/proxy.pac?token=t";
  os.proxy.connections["dial"].bypass = "*.local";
  ASSERT_TRUE(SetSystemProxy(os.proxy, true));
  EXPECT_EQ(vpn.server, ours);
  EXPECT_EQ(vpn.script, "");
  os.proxy.connections["dial"].connected = false;
  // A write that fails leaves the switch-off not done, the connection as it
  // is (never direct over what is kept) and what is kept.
  os.proxy.failing = "ras corp vpn";
  EXPECT_EQ(SwitchOffOurProxy(os.proxy), OurProxy::kStillOn);
  EXPECT_EQ(vpn.server, ours);
  EXPECT_EQ(os.proxy.kept.count("corp vpn"), 1u);
  EXPECT_EQ(os.proxy.connections["dial"].bypass, "*.local");  // by name, not connected
  EXPECT_EQ(os.proxy.connections["dial"].server, "");
  os.proxy.failing.clear();
  EXPECT_EQ(SwitchOffOurProxy(os.proxy), OurProxy::kNotOurs);  // (the main values are off)
  EXPECT_EQ(vpn.flags, 5u);
  EXPECT_EQ(vpn.script, "http://wpad.corp/proxy.pac?token=t");
  EXPECT_EQ(vpn.server, "");
  EXPECT_EQ(os.log.events.back(), "inet.option 37");  // running programs told
  EXPECT_TRUE(os.proxy.kept.empty());
}

TEST(SystemProxyTest, ConnectionsSwitchedBesideTheWindowAnswerWhatIsDone) {
  using Connections = ProxySettingsPort::Connections;
  tessarin_test::FakeOs os;  // the connections' own thread's port
  auto& vpn = os.proxy.connections["corp vpn"];
  vpn.script = "http://wpad.corp/proxy.pac";
  int wakes = 0;
  BackgroundConnections connections(false, [&wakes] { ++wakes; });
  bool worked = false;
  // Nothing of ours known: a switch-off is done at once, and still looked at.
  EXPECT_EQ(connections.Ask(false), Connections::kDone);
  EXPECT_TRUE(connections.RunOnce(os.proxy, &worked));
  EXPECT_FALSE(connections.RunOnce(os.proxy, &worked));
  // A switch-on then a switch-off before it ran: only the last runs, so the
  // connection is never written, and nothing is waited for.
  EXPECT_EQ(connections.Ask(true), Connections::kRunning);
  EXPECT_EQ(connections.Ask(false), Connections::kDone);
  EXPECT_EQ(connections.Ask(false), Connections::kDone);
  EXPECT_EQ(wakes, 2);
  EXPECT_TRUE(connections.RunOnce(os.proxy, &worked));
  EXPECT_TRUE(worked);
  EXPECT_EQ(os.proxy.kept.count("corp vpn"), 0u);
  EXPECT_EQ(connections.Ask(false), Connections::kDone);
  // One that fails is said once, then tried again.
  EXPECT_EQ(connections.Ask(true), Connections::kRunning);
  EXPECT_TRUE(connections.RunOnce(os.proxy, &worked));
  EXPECT_EQ(vpn.flags, kProxyTypeDirect | kProxyTypeProxy);
  os.proxy.failing = "ras corp vpn";
  EXPECT_EQ(connections.Ask(false), Connections::kRunning);  // it wrote one
  EXPECT_EQ(connections.Ask(false), Connections::kRunning);
  EXPECT_TRUE(connections.RunOnce(os.proxy, &worked));
  EXPECT_FALSE(worked);
  EXPECT_EQ(connections.Ask(false), Connections::kFailed);
  os.proxy.failing.clear();
  EXPECT_TRUE(connections.RunOnce(os.proxy, &worked));
  EXPECT_TRUE(worked);
  EXPECT_EQ(connections.Ask(false), Connections::kDone);
  EXPECT_EQ(vpn.script, "http://wpad.corp/proxy.pac");
  EXPECT_EQ(vpn.flags, kProxyTypeDirect);
}

TEST(SystemProxyTest, AGuardThatCannotSwitchOffSaysSo) {
  tessarin_test::FakeOs os;
  os.proxy.dwords["ProxyEnable"] = 1;
  os.proxy.strings["ProxyServer"] =
      "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";
  os.proxy.failing = "ProxyEnable=0";
  EXPECT_EQ(SwitchOffOurProxy(os.proxy), OurProxy::kStillOn);
  os.proxy.openable = false;
  EXPECT_EQ(SwitchOffOurProxy(os.proxy), OurProxy::kStillOn);
}

TEST(SystemProxyTest, TheGuardSwitchesOffOnlyAProxyThatIsStillExactlyOurs) {
  struct Case {
    uint32_t enable;
    std::string server;
    bool switched;
  };
  const std::string ours = "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";
  for (const Case& c : {Case{1, ours, true}, Case{0, ours, false}, Case{1, ours + ";", false},
                        Case{1, "proxy.example:8080", false}, Case{1, "", false}}) {
    SCOPED_TRACE(c.server + " enable " + std::to_string(c.enable));
    tessarin_test::FakeOs os;
    os.proxy.dwords["ProxyEnable"] = c.enable;
    if (!c.server.empty()) os.proxy.strings["ProxyServer"] = c.server;
    EXPECT_EQ(SwitchOffOurProxy(os.proxy),
              c.switched ? OurProxy::kSwitchedOff : OurProxy::kNotOurs);
    EXPECT_EQ(os.proxy.dwords["ProxyEnable"], c.switched ? 0u : c.enable);
    EXPECT_EQ(os.proxy.strings.count("ProxyServer"), c.server.empty() ? 0u : 1u);
    EXPECT_EQ(os.log.Count("inet.option"), c.switched ? 2u : 0u);
  }
}

TEST(ConnectivityProbeTest, FirstAttemptSuccessNeedsNoPause) {
  tessarin_test::FakeOs os;
  os.internet.script = {Outcome::kBody};
  EXPECT_TRUE(ProbeConnectivity(os.internet, os.system, nullptr, kUnhurried));
  EXPECT_EQ(os.log.events,
            (Events{"inet.open tessarin-connectivity-check/1.0 via 127.0.0.1:20808",
                    "inet.session option 2=2000", "inet.session option 5=2000",
                    "inet.session option 6=3000",
                    "inet.url https://www.cloudflare.com/cdn-cgi/trace flags 2222981120",
                    "inet.read 256", "inet.close request", "inet.close session"}));
}

TEST(ConnectivityProbeTest, ThirdAttemptSuccessAfterExactlyTwoPauses) {
  tessarin_test::FakeOs os;
  os.internet.script = {Outcome::kNoSession, Outcome::kEmptyBody, Outcome::kBody};
  EXPECT_TRUE(ProbeConnectivity(os.internet, os.system, nullptr, kUnhurried));
  EXPECT_EQ(os.log.Count("sys.sleep 500"), 2u);
  EXPECT_EQ(os.log.Count("inet.open"), 3u);
  // Every opened handle is closed, the request before its session.
  EXPECT_EQ(os.log.Count("inet.close session"), 2u);
  EXPECT_EQ(os.log.Count("inet.close request"), 2u);
}

TEST(ConnectivityProbeTest, EightFailuresThenFalse) {
  tessarin_test::FakeOs os;
  os.internet.script = {Outcome::kNoRequest, Outcome::kReadFails, Outcome::kEmptyBody};
  EXPECT_FALSE(ProbeConnectivity(os.internet, os.system, nullptr, kUnhurried));
  EXPECT_EQ(os.log.Count("inet.open"), 8u);
  EXPECT_EQ(os.log.Count("sys.sleep 500"), 8u);
  EXPECT_EQ(os.log.events.back(), "sys.sleep 500");
  EXPECT_EQ(os.log.Count("inet.close session"), 8u);
}

TEST(ConnectivityProbeTest, AnEndedCoreStopsTheProbeAfterThatAttempt) {
  tessarin_test::FakeOs os;
  os.internet.script = {Outcome::kNoRequest};
  int looks = 0;
  EXPECT_FALSE(ProbeConnectivity(os.internet, os.system, nullptr, kUnhurried, nullptr, nullptr,
                                 [&looks] { return ++looks == 2; }));
  EXPECT_EQ(os.log.Count("inet.open"), 2u);
  EXPECT_EQ(os.log.Count("sys.sleep 500"), 1u);
}

// Abandoned attempts end by themselves; the fakes must outlive them.
void WaitForClosedSessions(tessarin_test::FakeOs& os, size_t count) {
  for (int i = 0; i < 500 && os.log.Count("inet.close session") < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(os.log.Count("inet.close session"), count);
}

TEST(ConnectivityProbeTest, ASilentNodeFailsEachAttemptAtTheHostsOwnDeadline) {
  tessarin_test::FakeOs os;
  os.internet.script.assign(8, Outcome::kSilent);
  EXPECT_FALSE(ProbeConnectivity(os.internet, os.system, nullptr, 20));
  EXPECT_EQ(os.log.Count("sys.sleep 500"), 8u);
  // The attempts left behind end by themselves once the node lets go.
  os.internet.WaitForSilent(8);
  os.internet.ReleaseSilent();
  WaitForClosedSessions(os, 8);
}

TEST(ConnectivityProbeTest, ACancelEndsTheProbeWhileAnAttemptIsBlocked) {
  tessarin_test::FakeOs os;
  os.internet.script = {Outcome::kSilent, Outcome::kBody};
  auto signal = std::make_shared<JobSignal>();
  std::thread close([&] {
    os.internet.WaitForSilent(1);
    signal->Cancel();
  });
  // A deadline far beyond the test's own: only the cancel can end the wait.
  EXPECT_FALSE(ProbeConnectivity(os.internet, os.system, signal, 600000));
  close.join();
  EXPECT_EQ(os.log.Count("inet.open"), 1u);
  os.internet.ReleaseSilent();
  WaitForClosedSessions(os, 1);
}

TEST(CoreStartTest, EndsWhenTheCoreListensOrExitsAndWaitsItsWholeTimeWhenItCannotTell) {
  const std::vector<uint32_t> nobody;
  const std::vector<uint32_t> foreign{7};
  const std::vector<uint32_t> unknown{0};
  struct Case {
    const char* what;
    const std::vector<uint32_t>* before;
    std::vector<uint32_t> after;  // from 45 ms on
    uint64_t exits_at;            // 0: keeps running
    uint64_t waited;
  };
  const Case cases[] = {
      {"its own listener", &nobody, {100}, 0, 45},
      {"a listener whose owner is not told, new since the launch", &nobody, {0}, 0, 45},
      {"another program's listener", &foreign, {7}, 0, 800},
      {"a listener that is no process's, where owners are told", &nobody, {kNoProcessId}, 0, 800},
      {"a listener of unknown owner already there", &unknown, {0}, 0, 800},
      {"no table", nullptr, {100}, 0, 800},
      {"an early exit", &nobody, {}, 30, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tessarin_test::FakeOs os;
    const uint32_t id = os.processes.Launch(L"core", L"dir");
    const uint64_t start = os.system.steady_ms;
    os.system.listeners = [&](uint64_t now) {
      return now - start >= 45 ? c.after : (c.before ? *c.before : nobody);
    };
    os.system.on_sleep = [&] {
      if (c.exits_at != 0 && os.system.steady_ms - start >= c.exits_at) {
        os.processes.running[id] = false;
      }
    };
    JobSignal signal;
    WaitForCoreStart(os.processes, os.system, signal, id, c.before);
    EXPECT_EQ(os.system.steady_ms - start, c.waited);
  }
}

TEST(CoreJobTest, ACancelIsSeenBetweenEveryTwoStepsAndEndsEveryFixedWait) {
  tessarin_test::FakeOs os;
  CoreJob job;
  job.connect = true;
  os.system.on_write = [&] { job.signal->Cancel(); };  // between the file and the launch
  RunCoreJob(job, os.Ports());
  EXPECT_EQ(job.outcome, CoreJob::Outcome::kCancelled);
  EXPECT_EQ(os.log.Count("proc.launch"), 0u);

  // The real pause (not the fake's): a minute, ended by a cancel.
  JobSignal signal;
  std::thread cancel([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    signal.Cancel();
  });
  const auto began = std::chrono::steady_clock::now();
  os.system.SystemPort::Pause(60000, signal);
  cancel.join();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
}

TEST(CoreProcessTest, PathsFromTheModulePath) {
  tessarin_test::FakeOs os;
  EXPECT_EQ(ApplicationDirectory(os.system), L"C:\\Apps\\tessarin");
  os.system.module_path = L"D:/mixed\\dirs/tessarin.exe";
  EXPECT_EQ(ApplicationDirectory(os.system), L"D:/mixed\\dirs");
  os.system.module_path = L"tessarin.exe";
  EXPECT_EQ(ApplicationDirectory(os.system), L".");
  EXPECT_EQ(CoreExecutablePath(L"."), L".\\bin\\sing-box.exe");
  os.system.module_path = L"";
  EXPECT_EQ(ApplicationDirectory(os.system), L".");
  EXPECT_EQ(CoreConfigPath(L"C:\\A"), L"C:\\A\\tessarin-sing-box.json");
}

TEST(CoreProcessTest, LongModulePathsAreNeverCut) {
  tessarin_test::FakeOs os;
  std::wstring deep = L"C:";
  while (deep.size() < 700) deep += L"\\a-rather-long-directory-name";
  os.system.module_path = deep + L"\\tessarin.exe";
  EXPECT_EQ(ApplicationDirectory(os.system), deep);
  EXPECT_EQ(os.log.events, (Events{"sys.module 260", "sys.module 520", "sys.module 1040"}));
}

TEST(CoreProcessTest, LaunchCheckAndTerminate) {
  tessarin_test::FakeOs os;
  const uint32_t id = LaunchCore(os.processes, L"C:\\A\\bin\\sing-box.exe",
                                 L"C:\\A\\tessarin-sing-box.json", L"C:\\A");
  EXPECT_EQ(id, 100u);
  EXPECT_EQ(os.log.events.back(),
            "proc.launch \"C:\\A\\bin\\sing-box.exe\" run -c \"C:\\A\\tessarin-sing-box.json\" in "
            "C:\\A");
  EXPECT_TRUE(IsCoreAlive(os.processes, id));
  TerminateCore(os.processes, id);
  EXPECT_EQ(os.log.events.back(), "proc.terminate 100 wait 3000");
  EXPECT_FALSE(IsCoreAlive(os.processes, id));

  // Id 0 means no core: no system call at all.
  const size_t before = os.log.events.size();
  EXPECT_FALSE(IsCoreAlive(os.processes, 0));
  TerminateCore(os.processes, 0);
  EXPECT_EQ(os.log.events.size(), before);

  os.processes.launchable = false;
  EXPECT_EQ(LaunchCore(os.processes, L"x", L"y", L"z"), 0u);
}

}  // namespace
}  // namespace tessarin
