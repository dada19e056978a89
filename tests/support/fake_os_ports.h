// Fakes of the tunnel's OS ports. Every call lands in one shared event log,
// so tests can check order and arguments across ports exactly.
#ifndef TESSARIN_TESTS_SUPPORT_FAKE_OS_PORTS_H_
#define TESSARIN_TESTS_SUPPORT_FAKE_OS_PORTS_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tunnel/os_ports.h"

namespace tessarin_test {

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

inline std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Probe attempts log from threads of their own; a test reads the log once
// they are done.
struct EventLog {
  std::vector<std::string> events;
  std::mutex lock;
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> hold(lock);
    events.push_back(event);
  }
  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& e : events) n += e.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
};

class FakeProxySettings : public tessarin::ProxySettingsPort {
 public:
  explicit FakeProxySettings(EventLog* log) : log_(log) {}
  bool OpenSettingsKey() override {
    log_->Add("reg.open");
    return openable;
  }
  bool SetDwordValue(const std::wstring& name, uint32_t value) override {
    log_->Add("reg.set " + Narrow(name) + "=" + std::to_string(value));
    if (failing == Narrow(name) + "=" + std::to_string(value)) return false;
    dwords[Narrow(name)] = value;
    return true;
  }
  bool SetStringValue(const std::wstring& name, const std::wstring& text) override {
    log_->Add("reg.set " + Narrow(name) + "=" + Narrow(text) + " (" +
              std::to_string((text.size() + 1) * 2) + " bytes)");
    if (failing == Narrow(name)) return false;
    strings[Narrow(name)] = Narrow(text);
    return true;
  }
  bool OpenSettingsKeyToCheck() override {
    log_->Add("reg.open to check");
    return openable;
  }
  bool ReadDwordValue(const std::wstring& name, uint32_t* value) override {
    const auto found = dwords.find(Narrow(name));
    if (found == dwords.end()) return false;
    *value = found->second;
    return true;
  }
  bool ReadStringValue(const std::wstring& name, std::wstring* text) override {
    const auto found = strings.find(Narrow(name));
    if (found == strings.end()) return false;
    *text = std::wstring(found->second.begin(), found->second.end());
    return true;
  }
  void CloseSettingsKey() override { log_->Add("reg.close"); }
  void NotifyInternetOption(uint32_t option) override {
    log_->Add("inet.option " + std::to_string(option));
  }

  bool MachinePolicyOverridesUser() override { return machine_policy; }
  std::vector<std::wstring> DialUpConnections() override {
    std::vector<std::wstring> names;
    for (const auto& connection : connections) {
      if (connection.second.connected) names.push_back(Wide(connection.first));
    }
    return names;
  }
  bool ReadConnectionProxy(const std::wstring& name, tessarin::ConnectionProxy* proxy) override {
    const auto found = connections.find(Narrow(name));
    if (found == connections.end()) return false;
    proxy->flags = found->second.flags;
    proxy->server = Wide(found->second.server);
    proxy->bypass = Wide(found->second.bypass);
    proxy->script = Wide(found->second.script);
    return true;
  }
  bool WriteConnectionProxy(const std::wstring& name,
                            const tessarin::ConnectionProxy& proxy) override {
    log_->Add("ras.set " + Narrow(name) + " flags " + std::to_string(proxy.flags) + " " +
              Narrow(proxy.server) + " " + Narrow(proxy.bypass) + " " + Narrow(proxy.script));
    if (failing == "ras " + Narrow(name)) return false;
    Connection& connection = connections[Narrow(name)];
    connection.flags = proxy.flags;
    connection.server = Narrow(proxy.server);
    connection.bypass = Narrow(proxy.bypass);
    connection.script = Narrow(proxy.script);
    return true;
  }
  std::vector<std::wstring> KeptConnections() override {
    std::vector<std::wstring> names;
    for (const auto& connection : kept) names.push_back(Wide(connection.first));
    return names;
  }
  bool ReadKeptConnection(const std::wstring& name, tessarin::ConnectionProxy* proxy) override {
    const auto found = kept.find(Narrow(name));
    if (found == kept.end()) return false;
    *proxy = found->second;
    return true;
  }
  bool KeepConnection(const std::wstring& name, const tessarin::ConnectionProxy& proxy) override {
    kept[Narrow(name)] = proxy;
    return true;
  }
  void ForgetConnection(const std::wstring& name) override { kept.erase(Narrow(name)); }
  void WatchChanges(bool on) override { log_->Add(on ? "reg.watch on" : "reg.watch off"); }
  // With |connections_running|, a switch-off's part for the connections is
  // still under way on their own thread.
  Connections SwitchConnections(bool ours, bool* wrote) override {
    if (connections_running && !ours) return Connections::kRunning;
    return ProxySettingsPort::SwitchConnections(ours, wrote);
  }

  bool openable = true;
  bool machine_policy = false;
  bool connections_running = false;
  // Dial-up connections by name, each with its own proxy.
  struct Connection {
    uint32_t flags = tessarin::kProxyTypeDirect;
    std::string server;
    std::string bypass;
    std::string script;
    bool connected = true;
  };
  std::map<std::string, Connection> connections;
  // What tessarin kept of each before its first write.
  std::map<std::string, tessarin::ConnectionProxy> kept;
  // The write that fails: "ProxyEnable=1" (name and value), a string value's
  // name, or "ras NAME" (a connection's).
  std::string failing;
  std::map<std::string, uint32_t> dwords;
  std::map<std::string, std::string> strings;

 private:
  EventLog* log_;
};

// Each attempt takes the next scripted outcome; past the script every
// attempt finds nothing listening.
class FakeInternet : public tessarin::InternetPort {
 public:
  // kSilent: the request blocks until ReleaseSilent (a node that never
  // answers, until its connection is reset).
  enum class Outcome { kNoSession, kNoRequest, kReadFails, kEmptyBody, kBody, kSilent };

  explicit FakeInternet(EventLog* log) : log_(log) {}
  uint32_t LastError() override { return 12029; }  // ERROR_INTERNET_CANNOT_CONNECT

  std::unique_ptr<tessarin::InternetSession> OpenSession(const std::string& agent,
                                                         const std::string& proxy) override {
    log_->Add("inet.open " + agent + " via " + proxy);
    Outcome outcome = Outcome::kNoRequest;
    {
      // Attempts left behind may still be opening when the next one does.
      std::lock_guard<std::mutex> hold(silent_lock_);
      if (!script.empty()) {
        outcome = script.front();
        script.pop_front();
      }
    }
    if (outcome == Outcome::kNoSession) return nullptr;
    return std::make_unique<Session>(this, outcome);
  }

  // Until |count| attempts block on a silent node.
  void WaitForSilent(int count) {
    std::unique_lock<std::mutex> hold(silent_lock_);
    silent_changed_.wait(hold, [&] { return silent_ >= count; });
  }

  void ReleaseSilent() {
    std::lock_guard<std::mutex> hold(silent_lock_);
    released_ = true;
    silent_changed_.notify_all();
  }

  std::deque<Outcome> script;

 private:
  class Request : public tessarin::InternetRequest {
   public:
    Request(EventLog* log, Outcome outcome) : log_(log), outcome_(outcome) {}
    ~Request() override { log_->Add("inet.close request"); }
    bool Read(uint8_t* buffer, uint32_t size, uint32_t* bytes_read) override {
      log_->Add("inet.read " + std::to_string(size));
      if (outcome_ == Outcome::kReadFails) return false;
      *bytes_read = outcome_ == Outcome::kBody ? 3 : 0;
      if (*bytes_read) buffer[0] = 'f';
      return true;
    }

   private:
    EventLog* log_;
    Outcome outcome_;
  };
  class Session : public tessarin::InternetSession {
   public:
    Session(FakeInternet* owner, Outcome outcome)
        : owner_(owner), log_(owner->log_), outcome_(outcome) {}
    ~Session() override { log_->Add("inet.close session"); }
    bool SetOption(uint32_t option, uint32_t value) override {
      log_->Add("inet.session option " + std::to_string(option) + "=" + std::to_string(value));
      return true;
    }
    std::unique_ptr<tessarin::InternetRequest> OpenUrl(const std::string& url,
                                                       uint32_t flags) override {
      log_->Add("inet.url " + url + " flags " + std::to_string(flags));
      if (outcome_ == Outcome::kSilent) {
        std::unique_lock<std::mutex> hold(owner_->silent_lock_);
        ++owner_->silent_;
        owner_->silent_changed_.notify_all();
        owner_->silent_changed_.wait(hold, [&] { return owner_->released_; });
        return nullptr;
      }
      if (outcome_ == Outcome::kNoRequest) return nullptr;
      return std::make_unique<Request>(log_, outcome_);
    }

   private:
    FakeInternet* owner_;
    EventLog* log_;
    Outcome outcome_;
  };

  EventLog* log_;
  std::mutex silent_lock_;
  std::condition_variable silent_changed_;
  int silent_ = 0;
  bool released_ = false;
};

class FakeProcesses : public tessarin::ProcessPort {
 public:
  explicit FakeProcesses(EventLog* log) : log_(log) {}
  uint32_t Launch(const std::wstring& command_line, const std::wstring& directory) override {
    log_->Add("proc.launch " + Narrow(command_line) + " in " + Narrow(directory));
    if (!launchable) return 0;
    const uint32_t id = next_id++;
    running[id] = !exits_at_once;
    return id;
  }
  bool IsRunning(uint32_t process_id) override {
    log_->Add("proc.alive " + std::to_string(process_id));
    const auto found = running.find(process_id);
    return found != running.end() && found->second;
  }
  void Terminate(uint32_t process_id, uint32_t wait_ms) override {
    log_->Add("proc.terminate " + std::to_string(process_id) + " wait " + std::to_string(wait_ms));
    running[process_id] = false;
  }
  bool ExitCode(uint32_t process_id, uint32_t* code) override {
    const auto found = running.find(process_id);
    if (found == running.end() || found->second) return false;
    *code = 1;
    return true;
  }

  bool launchable = true;
  bool exits_at_once = false;
  uint32_t next_id = 100;
  std::map<uint32_t, bool> running;

 private:
  EventLog* log_;
};

class FakeSystem : public tessarin::SystemPort {
 public:
  explicit FakeSystem(EventLog* log) : log_(log) {}
  size_t ModuleFileName(wchar_t* buffer, size_t size) override {
    log_->Add("sys.module " + std::to_string(size));
    const size_t n = module_path.size() < size ? module_path.size() : size;
    for (size_t i = 0; i < n; ++i) buffer[i] = module_path[i];
    if (n < size) buffer[n] = L'\0';
    return n;
  }
  bool PathExists(const std::wstring& path) override {
    log_->Add("sys.exists " + Narrow(path));
    if (exists_throws) throw std::runtime_error("no file system");
    return existing.count(path) > 0;
  }
  bool WriteWholeFile(const std::wstring& path, const std::string& bytes) override {
    log_->Add("sys.write " + Narrow(path));
    if (!writable) return false;
    files[path] = bytes;
    if (on_write) on_write();
    return true;
  }
  uint64_t UnixTimeTicks() override {
    if (clock_throws) throw std::runtime_error("no clock");
    return now_seconds * 10000000ULL + 1234567;
  }
  void Sleep(uint32_t milliseconds) override {
    log_->Add("sys.sleep " + std::to_string(milliseconds));
    steady_ms += milliseconds;
    last_sleep_ms = milliseconds;
    if (on_sleep) on_sleep();
  }
  // The same as Sleep here: tests count pauses, not time.
  void Pause(uint32_t milliseconds, const tessarin::JobSignal&) override { Sleep(milliseconds); }
  bool StartThread(const char* where, std::function<void()> body) override {
    if (--threads_until_throw == 0) throw std::bad_alloc();
    return SystemPort::StartThread(where, std::move(body));
  }
  uint64_t SteadyMs() override { return steady_ms; }
  Network NetworkNow() override { return network; }
  // With |advance_waits|, a wait that is not over at once moves the clock
  // instead of the test waiting (for jobs that wait for time, not threads).
  bool WaitFor(const tessarin::JobSignal& signal, uint32_t ms,
               const std::function<bool()>& ready) override {
    if (!advance_waits || ready()) return SystemPort::WaitFor(signal, ms, ready);
    steady_ms += ms;
    return ready();
  }
  PortState CheckLocalPort(uint16_t, uint32_t* owner, std::wstring* owner_name) override {
    *owner = port_owner;
    *owner_name = port_owner_name;
    return port_state;
  }
  // Not logged: the start check reads it between the launch and the polls.
  bool LocalListeners(uint16_t, std::vector<uint32_t>* owners) override {
    if (!listeners) return false;
    *owners = listeners(steady_ms);
    return true;
  }

  std::wstring module_path = L"C:\\Apps\\tessarin\\tessarin.exe";
  std::map<std::wstring, bool> existing;
  PortState port_state = PortState::kFree;
  uint32_t port_owner = 0;
  std::wstring port_owner_name;
  bool writable = true;
  std::map<std::wstring, std::string> files;
  uint64_t now_seconds = 1796552705;  // 2026-12-06T10:25:05Z
  uint64_t steady_ms = 5000;
  bool clock_throws = false;
  bool exists_throws = false;
  // The thread start that throws, counted from 1; 0: none.
  int threads_until_throw = 0;
  // The port's listeners at a time; none: the table cannot be read.
  std::function<std::vector<uint32_t>(uint64_t)> listeners;
  // Runs after each sleep, as the platform thread would meanwhile.
  std::function<void()> on_sleep;
  // Runs after each file written.
  std::function<void()> on_write;
  uint32_t last_sleep_ms = 0;
  Network network = Network::kUp;
  bool advance_waits = false;

 private:
  EventLog* log_;
};

class FakeGuard : public tessarin::ProxyGuardPort {
 public:
  explicit FakeGuard(EventLog* log) : log_(log) {}
  void Arm() override { log_->Add("guard.arm"); }
  void Rearm() override { log_->Add("guard.rearm"); }
  void Release(bool keep_logon_reset) override {
    log_->Add(keep_logon_reset ? "guard.release keeping the logon reset" : "guard.release");
  }

 private:
  EventLog* log_;
};

// Everything a bridge needs, wired to one log.
struct FakeOs {
  EventLog log;
  FakeProxySettings proxy{&log};
  FakeInternet internet{&log};
  FakeProcesses processes{&log};
  FakeSystem system{&log};
  FakeGuard guard{&log};
  tessarin::OsPorts Ports() { return {&proxy, &internet, &processes, &system}; }
  tessarin::OsPorts GuardedPorts() { return {&proxy, &internet, &processes, &system, &guard}; }
};

}  // namespace tessarin_test

#endif  // TESSARIN_TESTS_SUPPORT_FAKE_OS_PORTS_H_
