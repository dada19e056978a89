// The proxy owner's transition table, row by row, over faked settings: each
// row reaches its state, gives one event, and looks at the next state and
// what the guard was told.
#include "tunnel/proxy_owner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_os_ports.h"
#include "tunnel/owner_thread.h"
#include "tunnel/start_thread.h"

namespace tessarin {
namespace {

constexpr char kOurs[] = "http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808";

class Retries : public WorkerPort {
 public:
  void Start(std::shared_ptr<CoreJob>) override {}
  void RetryAfter(uint32_t ms) override { last = ms; }
  int64_t last = -1;
};

struct World {
  tessarin_test::FakeOs os;
  Retries retries;
  ProxyOwner owner{os.GuardedPorts(), &os.guard, [this](uint32_t ms) { retries.RetryAfter(ms); }};
  void OursOn() {
    os.proxy.dwords["ProxyEnable"] = 1;
    os.proxy.strings["ProxyServer"] = kOurs;
  }
  void Others() {
    os.proxy.dwords["ProxyEnable"] = 1;
    os.proxy.strings["ProxyServer"] = "corp:8080";
  }
  // As a heal's own switch-off leaves them: our server, switched off.
  void OursOff() {
    os.proxy.dwords["ProxyEnable"] = 0;
    os.proxy.strings["ProxyServer"] = kOurs;
  }
  ProxyOwner::HealedOn heal = ProxyOwner::HealedOn::kFailed;
  void HealSwitchOn() {
    std::string why;
    heal = owner.HealSwitchOn(false, &why);
  }
};

enum StateIndex { kOff, kBack, kOn, kSwitchingOff };

struct Row {
  const char* name;
  std::function<void(World&)> reach;  // from a fresh owner (Off)
  std::function<void(World&)> event;
  StateIndex next;
  std::vector<std::string> guard;  // what the guard was told by the event
};

std::vector<Row> Table() {
  auto on = [](World& w) { ASSERT_TRUE(w.owner.SwitchOn()); };
  auto pending = [](World& w) {
    w.owner.SwitchOn();
    w.os.proxy.failing = "ProxyEnable=0";
    w.owner.SwitchOff(true);
  };
  auto back = [](World& w) {
    w.os.proxy.openable = false;
    w.owner.Changed();
    w.os.proxy.openable = true;
    w.OursOn();
  };
  auto nothing = [](World&) {};
  return {
      {"Off, switch-on", nothing, [](World& w) { w.owner.SwitchOn(); }, kOn, {}},
      {"Off, switch-on fails",
       nothing,
       [](World& w) {
         w.os.proxy.failing = "ProxyServer";
         w.owner.SwitchOn();
       },
       kOff,
       {"guard.release"}},
      {"On, switch-off", on, [](World& w) { w.owner.SwitchOff(true); }, kOff, {"guard.release"}},
      {"On, switch-off fails",
       on,
       [](World& w) {
         w.os.proxy.failing = "ProxyEnable=0";
         w.owner.SwitchOff(true);
       },
       kSwitchingOff,
       {"guard.rearm"}},
      {"On taken over, switch-off keeps the logon reset",
       on,
       [](World& w) {
         w.Others();
         w.owner.SwitchOff(true);
       },
       kOff,
       {"guard.release keeping the logon reset"}},
      {"On, a change not ours",
       on,
       [](World& w) {
         w.Others();
         w.owner.Changed();
       },
       kOn,
       {}},
      {"On, retry", on, [](World& w) { w.owner.Retry(); }, kOn, {}},
      {"SwitchingOff, retry works",
       pending,
       [](World& w) {
         w.os.proxy.failing.clear();
         w.owner.Retry();
       },
       kOff,
       {"guard.release"}},
      {"SwitchingOff, retry works beside a job",
       pending,
       [](World& w) {
         w.os.proxy.failing.clear();
         w.owner.JobBegins();
         w.owner.Retry();
       },
       kOff,
       {}},
      {"SwitchingOff, retry fails",
       pending,
       [](World& w) { w.owner.Retry(); },
       kSwitchingOff,
       {"guard.rearm"}},
      {"SwitchingOff, job ends", pending, [](World& w) { w.owner.JobEnded(); }, kSwitchingOff, {}},
      {"SwitchingOff, guard exits",
       pending,
       [](World& w) { w.owner.GuardExited(); },
       kSwitchingOff,
       {"guard.rearm"}},
      {"Off, ours come back",
       nothing,
       [](World& w) {
         w.OursOn();
         w.owner.Changed();
       },
       kOff,
       {"guard.release"}},
      {"Off, unreadable after a change",
       nothing,
       [](World& w) {
         w.os.proxy.openable = false;
         w.owner.Changed();
       },
       kBack,
       {"guard.rearm"}},
      {"Off, guard exits", nothing, [](World& w) { w.owner.GuardExited(); }, kOff, {}},
      {"Off, retry", nothing, [](World& w) { w.owner.Retry(); }, kOff, {}},
      {"Back, retry", back, [](World& w) { w.owner.Retry(); }, kOff, {"guard.release"}},
      {"Back guarded and watched, at a teardown",
       back,
       [](World& w) { w.owner.GuardWhatCameBack(); },
       kBack,
       {}},
      {"Back guarded, job ends",
       back,
       [](World& w) {
         w.owner.GuardWhatCameBack();
         w.os.log.events.clear();
         w.owner.JobEnded();
       },
       kBack,
       {}},
      {"Back guarded, guard exits",
       back,
       [](World& w) { w.owner.GuardExited(); },
       kBack,
       {"guard.rearm"}},
      {"On, a quick restart begins", on, [](World& w) { w.owner.HealBegins(true); }, kOn, {}},
      {"On, a heal begins",
       on,
       [](World& w) { w.owner.HealBegins(false); },
       kOff,
       {"guard.release"}},
      {"On, a quick restart's time runs out",
       on,
       [](World& w) { w.owner.QuickRestartOver(); },
       kOff,
       {"guard.release"}},
      {"Off after the heal's switch-off, the heal's switch-on",
       [](World& w) { w.OursOff(); },
       [](World& w) {
         w.HealSwitchOn();
         EXPECT_EQ(w.heal, ProxyOwner::HealedOn::kOn);
       },
       kOn,
       {}},
      {"Off after a takeover, the heal's switch-on refused",
       [on](World& w) {
         on(w);
         w.os.proxy.dwords["ProxyEnable"] = 0;  // the user's untick
         w.owner.HealBegins(true);
       },
       [](World& w) {
         w.HealSwitchOn();
         EXPECT_EQ(w.heal, ProxyOwner::HealedOn::kRefused);
       },
       kOff,
       {}},
      {"On, a job ends beside another",
       on,
       [](World& w) {
         w.owner.JobBegins();
         w.owner.JobBegins();
         w.owner.SwitchOff(true);
         w.owner.JobEnded();
       },
       kOff,
       {}},
      {"Off, a step threw",
       nothing,
       [](World& w) { w.owner.StepFailed(); },
       kBack,
       {"guard.rearm"}},
  };
}

TEST(ProxyOwnerTest, EveryRowOfTheTable) {
  for (const Row& row : Table()) {
    SCOPED_TRACE(row.name);
    World w;
    row.reach(w);
    w.os.log.events.clear();
    row.event(w);
    EXPECT_EQ(w.owner.state().index(), static_cast<size_t>(row.next));
    std::vector<std::string> guard;
    for (const std::string& e : w.os.log.events) {
      if (e.compare(0, 6, "guard.") == 0) guard.push_back(e);
    }
    EXPECT_EQ(guard, row.guard);
    // Derived in one place: a state that needs a guard never released it.
    if (w.owner.WantsGuard()) {
      EXPECT_EQ(std::count(guard.begin(), guard.end(), "guard.release"), 0);
    }
  }
}

// A switch-off whose main values went off while the connections were still
// being given back reads its own ProxyEnable=0 next: no takeover.
TEST(ProxyOwnerTest, ItsOwnSwitchOffIsNoTakeover) {
  World w;
  w.owner.SwitchOn();
  w.os.proxy.connections_running = true;
  w.owner.SwitchOff(true);
  ASSERT_EQ(w.owner.state().index(), static_cast<size_t>(kSwitchingOff));
  w.os.proxy.connections_running = false;
  w.owner.Retry();
  EXPECT_FALSE(w.owner.ResetKept());
  EXPECT_EQ(w.os.log.Count("guard.release keeping"), 0u);
}

// The owner's steps run one at a time, in order, off the posting thread; their
// answers come back in order only when the platform thread runs them; a
// step that throws leaves what it did to be looked at again.
TEST(OwnerThreadTest, StepsRunInOrderOnTheirThreadAndAnswersComeBackWhenAsked) {
  struct Worker : Retries {
    bool StartOwner(std::function<void()> loop) override {
      return StartThread("owner", std::move(loop));
    }
    void OwnerAnswered() override { ++told; }
    std::atomic<int> told{0};
  } worker;
  tessarin_test::FakeOs os;
  OsPorts ports = os.GuardedPorts();
  ports.worker = &worker;
  OwnerThread owner(ports, &os.guard);
  ASSERT_TRUE(owner.Start());
  const std::thread::id here = std::this_thread::get_id();
  std::vector<int> ran;
  std::vector<int> answered;
  bool elsewhere = true;
  for (int i = 0; i < 3; ++i) {
    owner.Post([&, i](ProxyOwner&, std::function<void(OwnerThread::Answer)>& answer) {
      elsewhere &= std::this_thread::get_id() != here;
      ran.push_back(i);
      answer([&answered, i] { answered.push_back(i); });
    });
  }
  owner.Post([](ProxyOwner&, std::function<void(OwnerThread::Answer)>&) {
    throw std::runtime_error("a step throws");
  });
  testing::internal::CaptureStderr();
  ASSERT_TRUE(owner.Finish(5000));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(elsewhere);
  EXPECT_TRUE(answered.empty());
  EXPECT_GT(worker.told.load(), 0);
  owner.RunAnswers();
  EXPECT_EQ(answered, (std::vector<int>{0, 1, 2}));
  // (Nothing was known on: what came back is looked at again, guarded.)
  EXPECT_EQ(os.log.Count("guard.rearm"), 1u);
  ASSERT_TRUE(owner.Stop(5000));
  bool inline_here = false;
  owner.Post([&](ProxyOwner& o, std::function<void(OwnerThread::Answer)>&) {
    inline_here = std::this_thread::get_id() == here;
    EXPECT_EQ(o.state().index(), static_cast<size_t>(kBack));
  });
  EXPECT_TRUE(inline_here);
}

}  // namespace
}  // namespace tessarin
