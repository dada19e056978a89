// A small simulated Windows for the bridge: the per-user proxy values, the
// core's processes, the port, the guard, dial-up connections, the log and
// the window's message queue, behind the bridge's own ports. Every port call
// of a thread other than the window's is a point where the scheduler may run
// something else first; the world's own faults come from one seeded source.
#ifndef TESSARIN_TESTS_SUPPORT_SIM_WORLD_H_
#define TESSARIN_TESTS_SUPPORT_SIM_WORLD_H_

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/sim_scheduler.h"
#include "tunnel/core_job.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/job_signal.h"
#include "tunnel/local_proxy_endpoint.h"
#include "tunnel/os_ports.h"
#include "tunnel/system_proxy.h"

namespace tessarin_sim {

constexpr wchar_t kOtherServer[] = L"proxy.corp.example:8080";
constexpr uint32_t kOtherListener = 4242;

// A message posted to the window, delivered in order.
struct Message {
  enum Kind {
    kJobFinished,
    kCoreExited,
    kGuardExited,
    kProxyChanged,
    kConnectionsSwitched,
    kNetworkChanged,
    kOwnerAnswered
  } kind;
  uint32_t process_id = 0;
};

struct World {
  explicit World(uint64_t seed) : random(seed) {}

  // Seeded choices.
  bool Chance(int percent) { return static_cast<int>(random() % 100) < percent; }
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : random() % n; }
  void Step(const std::string& what) { steps.push_back(std::to_string(sched.now) + " " + what); }
  void Violation(const std::string& what) {
    if (violations.empty()) Step("VIOLATION " + what);
    violations.push_back(what);
  }
  // Every port call, on any thread: the world may change first, others may
  // run first (on the window's thread, while it is inside a handler, as real
  // threads do), and the call may throw. On the window's thread, a call that
  // may wait is a fault of its own. A wait never throws (a job's joins run
  // in destructors).
  void Enter(const char* call, bool blocking, bool may_throw = true) {
    const bool window = Scheduler::Current() == Scheduler::kDriver;
    if (window && blocking && !program_ending) {
      Violation(std::string("the window's thread waited in ") + call);
    }
    if (restore_due) {
      restore_due = false;
      OtherProgramWrites(kOursBack);
    }
    if (faults && disturb && Chance(disturb_percent)) disturb();
    if (!window) {
      sched.Point();
    } else if (faults && run_beside && Chance(5)) {
      run_beside();
    }
    // (Off the window's thread: a notice's handler that throws is not
    // looked at again; see the note on the simulation.)
    // (A spell of low memory, say: any call of any thread may throw.)
    bool throws = throw_next;
    if (may_throw && !window && throw_spell > 0) {
      --throw_spell;
      throws |= Chance(25);
    }
    if (may_throw && throws && !window) {
      if (Scheduler::Current() == owner_thread) owner_threw_at = sched.now;
      throw_next = false;
      Step(std::string("throws in ") + call);
      last_throw_at = sched.now;
      WriteFailed();  // (what it was to do is not done)
      ConnectionFailed();
      throw std::runtime_error("a port call throws");
    }
  }
  void Post(Message message) {
    if (window_alive) queue.push_back(message);
  }
  // A call of the proxy's owner (the registry, WinINet, the guard): never
  // the window's thread's once the owner has a thread of its own. (What the
  // 16 ms budget measures under Wine, looked at here call by call.)
  void OwnersCall(const char* call) {
    // (The worker offers the thread from the start: the bridge must take it.)
    if (Scheduler::Current() == Scheduler::kDriver && !program_ending) {
      Violation(std::string("the window's thread made the owner's call: ") + call);
    }
  }
  int owner_thread = 0;  // the owner's thread, once started
  // A notice the window handed to the owner, which may not have run it yet.
  bool change_relayed = false;
  uint64_t owner_threw_at = kNever;
  uint64_t put_back_at = kNever;  // another program last wrote ours back  // a step of the owner's
                                  // threw (looked at again in 1 s)
  bool guard_exit_relayed = false;
  bool bounded_wait = false;  // the window may wait for the owner (a close, a session's end)

  // The per-user values and who may be listening to them.
  bool ValuesOurs() const {
    return enable == 1 && server == tessarin::LocalProxyEndpoint::kSystemProxyServer;
  }
  void ValuesChanged() {
    if (ValuesOurs()) taken_over_ours = false;
    if (!watching) return;
    watching = false;  // one notice per arming, as the system's
    if (notices_late) {
      late.push_back({Message::kProxyChanged});  // the window's loop looks later
      return;
    }
    Post({Message::kProxyChanged});
    if (notices_twice) Post({Message::kProxyChanged});
  }
  // Another program writes its own proxy, or puts back what it saved, or
  // (a user unticking the box) switches the proxy off and leaves its server.
  enum Write { kTheirs, kOursBack, kUnticked };
  void OtherProgramWrites(Write what) {
    raced = key_open;
    // (Ours replaced while a tunnel had them: that program may have saved
    // them, to put them back.)
    taken_over_ours |= what != kOursBack && ValuesOurs() && tunnel_up && tunnel_up();
    // (A write inside our switch-on's own writes replaces them too.)
    ever_replaced_ours |= what != kOursBack && (ValuesOurs() || (key_open && wrote_on));
    // (A change after the switch-on that is watched is told by its notice.)
    taken_in_switch_on = (key_open && wrote_on) || (taken_in_switch_on && !watching);
    // (The sim tells which untick is of a tunnel that is up: any other
    // looks as our own switch-off does.)
    user_unticked = false;
    enable = what == kUnticked ? 0 : 1;
    if (what == kOursBack) put_back_at = sched.now;
    // (An untick is of the switch alone: the server stays whoever's it is.)
    if (what != kUnticked) {
      server = what == kTheirs ? kOtherServer : tessarin::LocalProxyEndpoint::kSystemProxyServer;
    }
    Step(what == kOursBack ? "another program writes our values back"
         : what == kTheirs ? "another program sets its proxy"
                           : "the user unticks the proxy");
    ValuesChanged();
  }

  bool CoreRunning(uint32_t id) const {
    const auto found = cores.find(id);
    return found != cores.end() && found->second.running;
  }
  size_t CoresRunning() const {
    size_t n = 0;
    for (const auto& core : cores) n += core.second.running ? 1 : 0;
    return n;
  }
  void KillCore(uint32_t id) {
    Core& core = cores[id];
    if (!core.running) return;
    core.running = false;
    core.code = 1;
    core.died_unseen = true;
    core.died_at = ++events;
    Step("core " + std::to_string(id) + " ends");
    if (core.notify) Post({Message::kCoreExited, id});
  }
  void KillGuard() {
    if (!guard_running) return;
    guard_running = false;
    Step("the guard is ended");
    if (guard_armed) Post({Message::kGuardExited});
  }
  bool GuardWatching() const { return guard_armed && guard_running; }
  // A write (or what it needed) failed: what it was to switch off may stay on.
  void WriteFailed() {
    last_write_failed = true;
    writes_failed_since_window_gone |= !window_alive || closing;
  }

  Scheduler sched;
  std::mt19937_64 random;
  std::vector<std::string> steps;
  std::vector<std::string> violations;
  bool faults = false;
  // Every core started from now on ends as it starts (a broken install, a
  // port another program takes each time).
  bool dies_at_start = false;
  // Every core of ours ends soon after it came up (a crash on its first
  // connections).
  bool dies_soon = false;
  std::function<bool()> tunnel_up;      // the bridge has a tunnel
  std::function<void()> disturb;        // the nemesis, at any port call
  int disturb_percent = 3;              // of port calls
  std::function<void()> run_beside;     // another thread runs a step
  std::function<bool()> connect_asked;  // a connect call waits for its answer
  bool throw_next = false;              // the next port call throws
  int throw_spell = 0;                  // port calls left that may each throw

  // HKCU Internet Settings.
  uint32_t enable = 0;
  std::wstring server;
  std::wstring script;
  bool script_present = false;  // AutoConfigURL is there (maybe empty)
  bool key_open = false;
  bool raced = false;  // another program wrote while our key was open
  // Another program wrote inside our last switch-on: its read-back must see it.
  bool taken_in_switch_on = false;
  uint64_t events = 0;              // a count that orders what happened
  uint64_t job_end_handled_at = 0;  // (events) the window took a job's end
  bool user_unticked = false;       // the user switched our proxy off
  bool taken_over_ours = false;     // the last change replaced ours, by another program
  bool ever_replaced_ours = false;  // some change of another program's ever did
  bool last_open_failed = false;
  uint64_t open_failed_at = 0;
  bool wrote_on = false;  // the open key's session wrote ProxyEnable=1 (a switch-on)
  int failing_writes = 0;
  int failing_connection_writes = 0;
  int failing_opens = 0;
  int failing_reads = 0;
  // The last write failed: what it was to switch off may stay on.
  bool last_write_failed = false;
  bool last_connection_write_failed = false;
  uint64_t connection_failed_at = 0;
  void ConnectionFailed() {
    last_connection_write_failed = true;
    connection_failed_at = sched.now;
  }
  bool watching = false;
  bool notices_late = false;
  bool notices_twice = false;
  std::deque<Message> late;
  bool machine_policy = false;
  // Another program rewrites the values the moment they become ours.
  bool reacts_to_ours = false;
  // Another program puts ours back the moment they go off (it saved them).
  int restores_ours = 0;
  bool restore_due = false;  // at the next port call
  // Dial-up connections: flags and server, and whether connected.
  struct Connection {
    tessarin::ConnectionProxy proxy;  // its own, which it had first: a script
    bool connected = false;
  };
  std::map<std::wstring, Connection> connections;
  std::map<std::wstring, tessarin::ConnectionProxy> kept;

  // Processes of the core.
  struct Core {
    bool running = true;
    bool notify = true;  // an exit is told, until it is terminated by us
    uint32_t code = 0;
    uint64_t listening_at = 0;
    bool died_unseen = false;  // it ended, and nobody looked since
    bool silent = false;       // it listens and carries nothing (after a sleep, say)
    bool hangs = false;        // its node never answers: each attempt waits out WinINet
    uint64_t died_at = 0;      // (events)
  };
  std::map<uint32_t, Core> cores;
  uint32_t next_id = 100;
  uint32_t last_core = 0;
  bool port_held = false;
  bool other_answers = false;  // what holds the port answers the probe
  int zero_reads = 0;          // probe reads that return no byte
  bool threads_fail = false;   // no thread can be had
  // Jobs started whose end the window has not handled yet, oldest first.
  std::deque<std::shared_ptr<tessarin::CoreJob>> jobs;

  // The guard.
  bool guard_armed = false;
  bool guard_running = false;
  uint64_t guard_releases = 0;
  int rearms_running = 0;
  int arm_fails = 0;
  bool arm_slow = false;
  bool guard_start_failed = false;         // its last start failed (and was logged)
  bool guard_start_failed_at_end = false;  // a start at the program's end failed
  bool logon_reset = false;                // the RunOnce value
  bool release_kept_reset = false;         // the last release kept it

  // The window and what runs beside it.
  bool window_alive = true;
  bool ending = false;          // the schedule is over: a silent node's connections reset
  bool closing = false;         // the window's teardown runs
  bool program_ending = false;  // after the window: the program's end may wait
  // A switch-off at the end failed: only the guard (or the logon) is left.
  bool writes_failed_since_window_gone = false;
  std::deque<Message> queue;
  uint64_t retry_at = kNever;
  int jobs_running = 0;
  bool connections_running = false;  // their own thread
  int log_throws = 0;

  // The network, and sleep: time asleep counts on the tick clock only.
  bool network_up = true;
  uint64_t network_gone_at = 0;  // when it last went
  uint64_t network_back_at = kNever;
  uint64_t offline_attempt_at = kNever;  // a probe attempt that failed for no network
  uint64_t last_throw_at = kNever;
  uint64_t heals_started = 0;
  uint64_t stops_logged = 0;  // a check or a heal stopped by the user's call
  uint64_t slept_ms = 0;
  void NetworkGoes(uint64_t for_ms) {
    if (!network_up) return;
    network_up = false;
    network_gone_at = sched.now;
    network_back_at = sched.now + for_ms;
    Step("the network goes for " + std::to_string(for_ms) + " ms");
    Post({Message::kNetworkChanged});
  }
  // Whether the last probe attempt failed for a network that is still down.
  bool OfflineFailure() const {
    // (A job that threw after it fails as any job that threw.)
    return !network_up && offline_attempt_at != kNever && network_gone_at <= offline_attempt_at &&
           (last_throw_at == kNever || last_throw_at < offline_attempt_at);
  }
};

// With |background|, its switches leave the connections' part to that (as
// the host's port); without, it does them itself (as the guard's, and the
// connections' own thread's).
class SimProxySettings : public tessarin::ProxySettingsPort {
 public:
  explicit SimProxySettings(World* world) : w_(*world) {}
  void SwitchConnectionsBy(tessarin::BackgroundConnections* background) {
    background_ = background;
  }
  Connections SwitchConnections(bool ours, bool* wrote) override {
    if (background_ == nullptr) return ProxySettingsPort::SwitchConnections(ours, wrote);
    return background_->Ask(ours);
  }
  bool OpenSettingsKey() override { return Open("open"); }
  bool OpenSettingsKeyToCheck() override { return Open("open to check"); }
  bool ReadDwordValue(const std::wstring& name, uint32_t* value) override {
    w_.OwnersCall("a registry read");
    w_.Enter("a registry read", false);
    if (name != L"ProxyEnable") return false;
    *value = w_.enable;
    return true;
  }
  bool ReadStringValue(const std::wstring& name, std::wstring* text) override {
    w_.OwnersCall("a registry read");
    w_.Enter("a registry read", false);
    // (A configuration script's value may be there and empty.)
    if (name == L"AutoConfigURL" && w_.script_present) {
      *text = w_.script;
      return true;
    }
    const std::wstring* value = name == L"ProxyServer" ? &w_.server : nullptr;
    if (value == nullptr || value->empty()) return false;
    *text = *value;
    return true;
  }
  bool SetDwordValue(const std::wstring& name, uint32_t value) override {
    w_.Enter("a registry write", false);
    if (Fails()) return false;
    if (name == L"ProxyEnable") {
      // (Another program that wrote since this key was read is the
      // registry's own race: it has no compare-and-swap.)
      if (value == 0 && w_.enable == 1 && !w_.ValuesOurs() && !w_.wrote_on && !w_.raced) {
        w_.Violation("another program's proxy was switched off");
      }
      // Nor back on over the user's own switch-off.
      if (value == 1 && w_.user_unticked && !w_.raced && w_.connect_asked && !w_.connect_asked()) {
        w_.Violation("our proxy went on again over the user's switch-off with no connect asked");
      }
      w_.user_unticked = false;
      if (value == 0 && w_.ValuesOurs() && w_.restores_ours > 0) {
        --w_.restores_ours;
        w_.restore_due = true;
      }
      if (value == 1) {
        w_.wrote_on = true;
        w_.taken_in_switch_on = false;
      }
      w_.last_write_failed = false;
      w_.enable = value;
      w_.ValuesChanged();
    }
    return true;
  }
  bool SetStringValue(const std::wstring& name, const std::wstring& text) override {
    w_.Enter("a registry write", false);
    if (Fails()) return false;
    if (name == L"ProxyServer") {
      // Our proxy goes on only for a core looked at since the job's end
      // came to the window (one that ends after that look is told later).
      const auto core = w_.cores.find(w_.last_core);
      if (text == tessarin::LocalProxyEndpoint::kSystemProxyServer && core != w_.cores.end() &&
          core->second.died_unseen && core->second.died_at < w_.job_end_handled_at) {
        w_.Violation("our proxy went on for a core that had ended before its job's end came");
      }
      // Over another program's proxy only for a connect the user asked for.
      if (text == tessarin::LocalProxyEndpoint::kSystemProxyServer && w_.enable == 1 &&
          w_.server == kOtherServer && !w_.raced && w_.connect_asked && !w_.connect_asked()) {
        w_.Violation("our proxy went on over another program's with no connect asked");
      }
      w_.last_write_failed = false;
      w_.server = text;
      w_.ValuesChanged();
      if (w_.reacts_to_ours && w_.ValuesOurs()) w_.OtherProgramWrites(World::kTheirs);
    }
    return true;
  }
  void CloseSettingsKey() override {
    w_.key_open = false;
    w_.raced = false;
    w_.wrote_on = false;
  }
  void NotifyInternetOption(uint32_t) override {
    w_.OwnersCall("a WinINet notice");
    w_.Enter("a WinINet notice", false);
  }
  bool MachinePolicyOverridesUser() override { return w_.machine_policy; }
  std::vector<std::wstring> DialUpConnections() override {
    w_.OwnersCall("the dial-up list");
    w_.Enter("the dial-up list", false);
    std::vector<std::wstring> names;
    if (beside_host_) return names;
    for (const auto& connection : w_.connections) {
      if (connection.second.connected) names.push_back(connection.first);
    }
    // The list is old news the moment it is taken.
    w_.Enter("the dial-up list's return", false, false);
    return names;
  }
  bool ReadConnectionProxy(const std::wstring& name, tessarin::ConnectionProxy* proxy) override {
    w_.Enter("a dial-up read", true);
    if (ReadFails()) return false;
    const auto found = w_.connections.find(name);
    if (found == w_.connections.end()) return false;
    *proxy = found->second.proxy;
    return true;
  }
  bool WriteConnectionProxy(const std::wstring& name,
                            const tessarin::ConnectionProxy& proxy) override {
    w_.Enter("a dial-up write", true);
    if (Fails()) {
      w_.ConnectionFailed();
      return false;
    }
    if (w_.failing_connection_writes > 0) {
      --w_.failing_connection_writes;
      w_.writes_failed_since_window_gone |= !w_.window_alive || w_.closing;
      w_.ConnectionFailed();
      return false;
    }
    w_.last_connection_write_failed = false;
    w_.connections[name].proxy = proxy;
    return true;
  }
  std::vector<std::wstring> KeptConnections() override {
    w_.Enter("the kept list", false);
    std::vector<std::wstring> names;
    for (const auto& connection : w_.kept) names.push_back(connection.first);
    return names;
  }
  bool ReadKeptConnection(const std::wstring& name, tessarin::ConnectionProxy* proxy) override {
    w_.Enter("a kept copy's read", false);
    const auto found = w_.kept.find(name);
    if (found == w_.kept.end()) return false;
    *proxy = found->second;
    return true;
  }
  bool KeepConnection(const std::wstring& name, const tessarin::ConnectionProxy& proxy) override {
    w_.Enter("a registry write", false);
    if (Fails()) {
      w_.ConnectionFailed();  // the connection is not switched then
      return false;
    }
    w_.kept[name] = proxy;
    return true;
  }
  void ForgetConnection(const std::wstring& name) override {
    w_.Enter("a kept copy's removal", false, false);
    if (!beside_host_) w_.kept.erase(name);
  }
  // As the guard's pass while a crashed host still runs: nothing kept is
  // forgotten, and a connection with nothing kept is left as it is.
  void BesideARunningHost() { beside_host_ = true; }
  // A watch let go of takes its signalled event along: a notice the
  // window's loop has not taken yet is lost.
  void WatchChanges(bool on) override {
    w_.OwnersCall("the registry watch");
    w_.watching = on;
    if (on) return;
    for (std::deque<Message>* notices : {&w_.queue, &w_.late}) {
      notices->erase(
          std::remove_if(notices->begin(), notices->end(),
                         [](const Message& m) { return m.kind == Message::kProxyChanged; }),
          notices->end());
    }
  }

 private:
  bool Open(const char*) {
    w_.OwnersCall("a registry open");
    w_.Enter("a registry open", false);
    if (w_.failing_opens > 0) {
      --w_.failing_opens;
      w_.last_open_failed = true;
      w_.open_failed_at = w_.sched.now;
      w_.WriteFailed();  // a switch-off that cannot open writes nothing
      return false;
    }
    w_.key_open = true;
    w_.last_open_failed = false;
    w_.raced = false;
    w_.wrote_on = false;
    return true;
  }
  bool Fails() {
    if (w_.failing_writes == 0) return false;
    --w_.failing_writes;
    w_.WriteFailed();
    return true;
  }
  bool ReadFails() {
    if (w_.failing_reads == 0) return false;
    --w_.failing_reads;
    w_.ConnectionFailed();  // what it was read for is not done
    w_.writes_failed_since_window_gone |= !w_.window_alive || w_.closing;
    return true;
  }
  World& w_;
  tessarin::BackgroundConnections* background_ = nullptr;
  bool beside_host_ = false;
};

class SimInternet : public tessarin::InternetPort {
 public:
  explicit SimInternet(World* world) : w_(*world) {}
  uint32_t LastError() override { return 12029; }
  std::unique_ptr<tessarin::InternetSession> OpenSession(const std::string&,
                                                         const std::string&) override {
    w_.Enter("a WinINet open", true);
    return std::make_unique<Session>(&w_);
  }
  void Warm(const std::string&, const std::string&) override { w_.Enter("the warm-up", true); }

 private:
  class Request : public tessarin::InternetRequest {
   public:
    explicit Request(World* world) : w_(*world) {}
    bool Read(uint8_t* buffer, uint32_t size, uint32_t* bytes_read) override {
      w_.Enter("a WinINet read", true);
      *bytes_read = size > 0 && w_.zero_reads == 0 ? 1 : 0;
      if (w_.zero_reads > 0) --w_.zero_reads;
      buffer[0] = 'f';
      return true;
    }

   private:
    World& w_;
  };
  class Session : public tessarin::InternetSession {
   public:
    explicit Session(World* world) : w_(*world) {}
    bool SetOption(uint32_t, uint32_t) override {
      w_.Enter("a WinINet option", false);
      return true;
    }
    std::unique_ptr<tessarin::InternetRequest> OpenUrl(const std::string&, uint32_t) override {
      w_.Enter("a WinINet request", true);
      w_.offline_attempt_at = w_.network_up ? kNever : w_.sched.now;
      if (!w_.network_up) return nullptr;
      const uint32_t core = w_.last_core;
      // Through a core that listens; a node that answers, fails, or never does.
      const bool listening = (w_.CoreRunning(core) && w_.sched.now >= w_.cores[core].listening_at &&
                              !w_.cores[core].silent) ||
                             (w_.port_held && w_.other_answers);
      const uint64_t roll = w_.faults ? w_.Below(100) : 0;
      if (roll >= 85 || (w_.CoreRunning(core) && w_.cores[core].hangs)) {
        w_.Step("a probe attempt waits on a silent node");
        World* w = &w_;
        // (Windows ends it at WinINet's time-outs; the core's end resets it.)
        w_.sched.Block([w, core] { return !w->CoreRunning(core) || w->ending; },
                       w_.sched.now + 7000);
        return nullptr;
      }
      if (!listening || roll >= 65) return nullptr;
      return std::make_unique<Request>(&w_);
    }

   private:
    World& w_;
  };
  World& w_;
};

class SimProcesses : public tessarin::ProcessPort {
 public:
  explicit SimProcesses(World* world) : w_(*world) {}
  uint32_t Launch(const std::wstring&, const std::wstring&) override {
    w_.Enter("a launch", true);
    if (w_.faults && w_.Chance(5)) return 0;
    const uint32_t id = w_.next_id++;
    World::Core& core = w_.cores[id];
    core.listening_at = w_.sched.now + w_.Below(300);
    core.hangs = w_.faults && w_.Chance(10);
    w_.last_core = id;
    w_.Step("core " + std::to_string(id) +
            (core.hangs ? " launched, its node never answers" : " launched"));
    if (w_.CoresRunning() > 1) w_.Violation("a second core of ours runs");
    if (w_.dies_at_start || (w_.faults && w_.Chance(5))) w_.KillCore(id);  // rejects its document
    return id;
  }
  bool IsRunning(uint32_t id) override {
    w_.Enter("a process look", false);
    if (!w_.CoreRunning(id)) w_.cores[id].died_unseen = false;
    return w_.CoreRunning(id);
  }
  void Terminate(uint32_t id, uint32_t wait_ms) override {
    // (The host's ends a process before anything that could throw.)
    w_.Enter("a terminate", wait_ms > 0, false);
    const auto found = w_.cores.find(id);
    if (found == w_.cores.end()) return;
    found->second.notify = false;  // the exit watch goes first
    if (found->second.running) w_.Step("core " + std::to_string(id) + " terminated");
    found->second.running = false;
  }
  bool ExitCode(uint32_t id, uint32_t* code) override {
    const auto found = w_.cores.find(id);
    if (found == w_.cores.end() || found->second.running) return false;
    *code = found->second.code;
    return true;
  }

 private:
  World& w_;
};

class SimSystem : public tessarin::SystemPort {
 public:
  explicit SimSystem(World* world) : w_(*world) {}
  size_t ModuleFileName(wchar_t* buffer, size_t size) override {
    const std::wstring path = L"C:\\Apps\\tessarin\\tessarin.exe";
    const size_t n = path.size() < size ? path.size() : size;
    for (size_t i = 0; i < n; ++i) buffer[i] = path[i];
    if (n < size) buffer[n] = L'\0';
    return n;
  }
  bool PathExists(const std::wstring&) override { return true; }
  bool WriteWholeFile(const std::wstring&, const std::string&) override {
    w_.Enter("a file write", true);
    return !(w_.faults && w_.Chance(3));
  }
  uint64_t UnixTimeTicks() override { return (1796552705000ULL + w_.sched.now) * 10000; }
  void Sleep(uint32_t ms) override {
    w_.Enter("a sleep", true, false);
    if (Scheduler::Current() != Scheduler::kDriver) w_.sched.Block(nullptr, w_.sched.now + ms);
  }
  void Pause(uint32_t ms, const tessarin::JobSignal& signal) override {
    w_.Enter("a pause", true, false);
    if (Scheduler::Current() == Scheduler::kDriver) return;
    const tessarin::JobSignal* cancel = &signal;
    w_.sched.Block([cancel] { return cancel->Cancelled(); }, w_.sched.now + ms);
  }
  bool WaitFor(const tessarin::JobSignal& signal, uint32_t ms,
               const std::function<bool()>& ready) override {
    if (Scheduler::Current() == Scheduler::kDriver && (w_.bounded_wait || w_.program_ending)) {
      return WindowWaits(ms, ready);
    }
    w_.Enter("a wait", true, false);
    if (Scheduler::Current() == Scheduler::kDriver) return ready();
    const uint64_t deadline = ms == 0xFFFFFFFFu ? kNever : w_.sched.now + ms;
    const tessarin::JobSignal* cancel = &signal;
    const std::function<bool()>* done = &ready;
    while (!signal.Cancelled() && !ready() && w_.sched.now < deadline) {
      w_.sched.Block([cancel, done] { return cancel->Cancelled() || (*done)(); }, deadline);
    }
    return ready();
  }
  // The window's thread (a session's end, the program's) waits a moment for
  // the others: they run meanwhile, and time passes only as far as |ms|.
  bool WindowWaits(uint32_t ms, const std::function<bool()>& ready) {
    const uint64_t deadline = w_.sched.now + ms;
    for (int runs = 0; !ready() && runs < 100000; ++runs) {
      const std::vector<int> runnable = w_.sched.RunnableThreads();
      if (!runnable.empty()) {
        w_.sched.Run(runnable[w_.Below(runnable.size())]);
        continue;
      }
      const uint64_t next = w_.sched.NextDeadline();
      if (next == kNever || next > deadline) {
        w_.sched.now = std::max(w_.sched.now, deadline);
        break;
      }
      w_.sched.now = std::max(w_.sched.now, next);
    }
    return ready();
  }
  bool StartThread(const char*, std::function<void()> body) override {
    if (w_.threads_fail) return false;
    w_.sched.Start(std::move(body));
    return true;
  }
  uint64_t SteadyMs() override { return w_.sched.now; }
  uint64_t TicksMs() override { return w_.sched.now + w_.slept_ms; }
  Network NetworkNow() override {
    w_.Enter("the network look", true);
    // (Once the schedule is over the network comes back: a wait for it ends.)
    return w_.network_up || w_.ending ? Network::kUp : Network::kNone;
  }
  PortState CheckLocalPort(uint16_t, uint32_t* owner, std::wstring* name) override {
    w_.Enter("the port check", false);
    *owner = 0;
    name->clear();
    if (w_.port_held) {
      *owner = kOtherListener;
      *name = L"other.exe";
      return PortState::kHeld;
    }
    for (const auto& core : w_.cores) {
      if (core.second.running) {
        *owner = core.first;
        return PortState::kHeld;
      }
    }
    return PortState::kFree;
  }
  bool LocalListeners(uint16_t, std::vector<uint32_t>* owners) override {
    w_.Enter("the listener table", false);
    owners->clear();
    if (w_.port_held) owners->push_back(kOtherListener);
    for (const auto& core : w_.cores) {
      if (core.second.running && w_.sched.now >= core.second.listening_at) {
        owners->push_back(core.first);
      }
    }
    return true;
  }

 private:
  World& w_;
};

// As the host's guard: armed from a job (its start may wait), started again
// off the window's thread, released at once; its end is told while armed.
class SimGuard : public tessarin::ProxyGuardPort {
 public:
  explicit SimGuard(World* world) : w_(*world) {}
  void Arm() override {
    w_.OwnersCall("the guard's start");
    w_.Enter("the guard's start", true);
    const uint64_t releases = w_.guard_releases;
    if (w_.arm_slow) {
      w_.arm_slow = false;
      w_.sched.Block(nullptr, w_.sched.now + 1 + w_.Below(3000));
    }
    ArmUnlessReleasedSince(releases);
  }
  void Rearm() override {
    w_.OwnersCall("the guard's re-arm");
    const uint64_t releases = w_.guard_releases;
    w_.logon_reset = true;  // at once; the guard's process from a thread
    ++w_.rearms_running;
    World* w = &w_;
    w_.sched.Start([this, w, releases] {
      w->sched.Point();
      ArmUnlessReleasedSince(releases);
      --w->rearms_running;
    });
  }
  bool Lost() override { return w_.guard_armed && !w_.guard_running; }
  bool Watching() override { return w_.GuardWatching(); }
  void Release(bool keep_logon_reset) override {
    w_.OwnersCall("the guard's release");
    ++w_.guard_releases;
    w_.guard_armed = false;
    w_.guard_running = false;
    w_.release_kept_reset = keep_logon_reset;
    if (!keep_logon_reset) w_.logon_reset = false;
  }

 private:
  // As the host's: the logon reset first, then the guard's process, whose
  // start may fail (security software); a failed start leaves what was.
  void ArmUnlessReleasedSince(uint64_t releases) {
    if (w_.guard_releases != releases) return;
    w_.logon_reset = true;
    if (w_.GuardWatching()) return;
    if (w_.arm_fails > 0) {
      --w_.arm_fails;
      w_.guard_start_failed = true;
      w_.guard_start_failed_at_end |= w_.program_ending;
      w_.Step("the guard could not be started");
      return;
    }
    w_.Step("the guard starts");
    w_.guard_start_failed = false;
    w_.guard_armed = true;
    w_.guard_running = true;
  }
  World& w_;
};

class SimWorker : public tessarin::WorkerPort {
 public:
  SimWorker(World* world, const tessarin::OsPorts* ports) : w_(*world), ports_(ports) {}
  void Start(std::shared_ptr<tessarin::CoreJob> job) override {
    if (++w_.jobs_running > 1) w_.Violation("a second job runs beside another");
    w_.jobs.push_back(job);
    World* w = &w_;
    const tessarin::OsPorts* ports = ports_;
    w_.sched.Start([w, ports, job] {
      tessarin::RunCoreJob(*job, *ports);
      // The job's tail, from its last step to its notice, is no moment of
      // its own: the world changes there too.
      w->Enter("the job's end", false, false);
      --w->jobs_running;
      w->Post({Message::kJobFinished});
    });
  }
  void RetryAfter(uint32_t ms) override { w_.retry_at = w_.sched.now + ms; }
  // The owner's thread is one more thread of the world.
  bool StartOwner(std::function<void()> loop) override {
    if (w_.threads_fail) return false;
    w_.owner_thread = w_.sched.Start(std::move(loop));
    return true;
  }
  void OwnerAnswered() override { w_.Post({Message::kOwnerAnswered}); }

 private:
  World& w_;
  const tessarin::OsPorts* ports_;
};

class SimLog : public tessarin::LogPort {
 public:
  explicit SimLog(World* world) : w_(*world) {}
  void Write(const std::string& text) override {
    if (text.find("the tunnel's check or heal stopped: ") == 0) ++w_.stops_logged;
    if (text.find("healing the tunnel:") == 0 ||
        text.find("; healing again,") != std::string::npos) {
      ++w_.heals_started;
    }
    // A tunnel that waits for a network that is down neither heals (and
    // counts it) nor stops.
    if (w_.OfflineFailure() &&
        (text.find("(the new core did not carry traffic)") != std::string::npos ||
         text.find("healing the tunnel: the check found no traffic") != std::string::npos)) {
      w_.Violation("the tunnel healed or stopped for a network that is down");
    }
    if (w_.log_throws > 0) {
      --w_.log_throws;
      throw std::runtime_error("the log cannot be written");
    }
    w_.Step("log: " + text);
    if (!masked && text.find(kCredential) != std::string::npos) {
      w_.Violation("the node's credential was logged before it was masked");
    }
  }
  // The real log masks it from then on.
  void MaskFromNowOn(const std::string& secret) override { masked |= secret == kCredential; }
  static constexpr const char* kCredential = "0f8e6a52-3c1d-4b7e-9a2f-5d6c7b8a9e01";
  bool masked = false;

 private:
  World& w_;
};

}  // namespace tessarin_sim

#endif  // TESSARIN_TESTS_SUPPORT_SIM_WORLD_H_
