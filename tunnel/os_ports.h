// The narrow OS interfaces the tunnel logic runs on. Each mirrors the few
// Win32 calls one algorithm needs, so the algorithm is written once, checked
// natively against fakes, and reaches Windows through tunnel/win32/.
#ifndef TESSARIN_TUNNEL_OS_PORTS_H_
#define TESSARIN_TUNNEL_OS_PORTS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessarin {

class JobSignal;

// A dial-up or VPN connection's own proxy settings.
struct ConnectionProxy {
  uint32_t flags = 1;  // PROXY_TYPE_* flags: direct
  std::wstring server;
  std::wstring bypass;
  std::wstring script;  // its configuration script's address
  bool operator==(const ConnectionProxy& other) const {
    return flags == other.flags && server == other.server && bypass == other.bypass &&
           script == other.script;
  }
};

// HKCU Internet Settings and the WinINet refresh notification.
class ProxySettingsPort {
 public:
  virtual ~ProxySettingsPort() = default;
  // Opens the settings key for setting values; false when it cannot be opened.
  virtual bool OpenSettingsKey() = 0;
  // The same, for reading values as well: the guard looks before it writes.
  virtual bool OpenSettingsKeyToCheck() = 0;
  // False when the value is absent or of another type.
  virtual bool ReadDwordValue(const std::wstring& name, uint32_t* value) = 0;
  virtual bool ReadStringValue(const std::wstring& name, std::wstring* text) = 0;
  // Each set is false when the value was not written.
  virtual bool SetDwordValue(const std::wstring& name, uint32_t value) = 0;
  // |text| is written as REG_SZ including its terminating zero.
  virtual bool SetStringValue(const std::wstring& name, const std::wstring& text) = 0;
  virtual void CloseSettingsKey() = 0;
  // InternetSetOptionW(NULL, option, NULL, 0); the result is not used.
  virtual void NotifyInternetOption(uint32_t option) = 0;
  // Whether machine policy makes Windows ignore the per-user settings (HKLM
  // Software\Policies\Microsoft\Windows\CurrentVersion\Internet Settings,
  // ProxySettingsPerUser = 0).
  virtual bool MachinePolicyOverridesUser() = 0;
  // The dial-up and VPN (RAS) connections connected now, by entry name; each
  // has proxy settings of its own, which programs use while it is connected.
  virtual std::vector<std::wstring> DialUpConnections() = 0;
  // A connection's own proxy (INTERNET_OPTION_PER_CONNECTION_OPTION), by
  // entry name, connected or not; false when it cannot be read.
  virtual bool ReadConnectionProxy(const std::wstring& connection, ConnectionProxy* proxy) = 0;
  // False when it could not be written.
  virtual bool WriteConnectionProxy(const std::wstring& connection,
                                    const ConnectionProxy& proxy) = 0;
  // What each connection had before tessarin first wrote it, kept in the
  // per-user registry so that the guard and the logon reset can put it back
  // too. None kept (false) by default: then a connection is not written.
  virtual std::vector<std::wstring> KeptConnections() { return {}; }
  virtual bool ReadKeptConnection(const std::wstring& /*connection*/, ConnectionProxy* /*proxy*/) {
    return false;
  }
  virtual bool KeepConnection(const std::wstring& /*connection*/,
                              const ConnectionProxy& /*proxy*/) {
    return false;
  }
  virtual void ForgetConnection(const std::wstring& /*connection*/) {}
  // A switch's part for the connections: ours on every connected one
  // (|ours|), or each given back. Their calls may wait on the dial-up
  // service. By default done here and now; |wrote|: whether any was written
  // (the caller tells WinINet). A port may do it on a thread of its own
  // (BackgroundConnections): then it answers kRunning until what was asked
  // last is done, and a switch-off that worked is told to the platform
  // thread (as a retry, TunnelBridge::RetryProxyOff).
  enum class Connections { kDone, kFailed, kRunning };
  virtual Connections SwitchConnections(bool ours, bool* wrote);
  // While on, a change of the per-user values is told to the platform
  // thread (TunnelBridge::ProxySettingsChanged), from a wait of the system's
  // own, never by waiting on the platform thread.
  virtual void WatchChanges(bool /*on*/) {}
};

// PROXY_TYPE_DIRECT and PROXY_TYPE_PROXY of a connection's proxy flags.
constexpr uint32_t kProxyTypeDirect = 1;
constexpr uint32_t kProxyTypeProxy = 2;

// One WinINet request handle; closing it is the destructor's job.
class InternetRequest {
 public:
  virtual ~InternetRequest() = default;
  // InternetReadFile once: false when the call fails.
  virtual bool Read(uint8_t* buffer, uint32_t size, uint32_t* bytes_read) = 0;
};

// One WinINet session handle opened through a proxy.
class InternetSession {
 public:
  virtual ~InternetSession() = default;
  // InternetSetOptionW on the session with a 32-bit value; false on failure.
  virtual bool SetOption(uint32_t option, uint32_t value) = 0;
  // nullptr when no request handle comes back.
  virtual std::unique_ptr<InternetRequest> OpenUrl(const std::string& url, uint32_t flags) = 0;
};

class InternetPort {
 public:
  virtual ~InternetPort() = default;
  // The calling thread's error of its last failed call (GetLastError).
  virtual uint32_t LastError() = 0;
  // nullptr when no session handle comes back.
  virtual std::unique_ptr<InternetSession> OpenSession(const std::string& agent,
                                                       const std::string& proxy) = 0;
  // Loads and starts what the first request through |proxy| would (the
  // library, a session, the TLS provider), so that a first attempt costs no
  // more than a later one. Any thread; nothing is kept.
  virtual void Warm(const std::string& /*agent*/, const std::string& /*proxy*/) {}
};

// Processes of the core. The adapter may keep what it needs per process id
// (a handle) between Launch and Terminate.
class ProcessPort {
 public:
  virtual ~ProcessPort() = default;
  // Starts a hidden process; its id, or 0 when it could not be started.
  virtual uint32_t Launch(const std::wstring& command_line, const std::wstring& directory) = 0;
  // Whether the process still runs (exit code STILL_ACTIVE).
  virtual bool IsRunning(uint32_t process_id) = 0;
  // Terminates with exit code 0 and waits up to |wait_ms|; silent on failure.
  virtual void Terminate(uint32_t process_id, uint32_t wait_ms) = 0;
  // The exit code of a launched process that has ended; false otherwise.
  virtual bool ExitCode(uint32_t process_id, uint32_t* code) = 0;
};

// An id that no process has.
constexpr uint32_t kNoProcessId = 0xFFFFFFFFu;

class SystemPort {
 public:
  virtual ~SystemPort() = default;
  // GetModuleFileNameW(NULL, buffer, size): units copied, size when the path
  // was cut to fit, 0 on failure.
  virtual size_t ModuleFileName(wchar_t* buffer, size_t size) = 0;
  // GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES.
  virtual bool PathExists(const std::wstring& path) = 0;
  // Opens (truncating), writes every byte and closes; false if any step fails.
  virtual bool WriteWholeFile(const std::wstring& path, const std::string& bytes) = 0;
  // 100 ns ticks since 1970-01-01 00:00:00 UTC.
  virtual uint64_t UnixTimeTicks() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
  // A job's fixed wait: as Sleep, but it ends at once when |signal| is
  // cancelled.
  virtual void Pause(uint32_t milliseconds, const JobSignal& signal);
  // A job's wait for |ready| (looked at under |signal|'s lock): up to |ms|,
  // or less when |signal| is cancelled; whether |ready| held.
  virtual bool WaitFor(const JobSignal& signal, uint32_t milliseconds,
                       const std::function<bool()>& ready);
  // What runs beside a job (an attempt, a warm-up, the guard's start): on a
  // thread of its own (StartThread); false when none could be had.
  virtual bool StartThread(const char* where, std::function<void()> body);
  // Milliseconds from an arbitrary start, not counting time the machine
  // slept; never goes back.
  virtual uint64_t SteadyMs() = 0;
  // The same, counting time asleep too.
  virtual uint64_t TicksMs() { return SteadyMs(); }
  // Whether the core could listen on 127.0.0.1:|port| now: free, held by
  // another program (its process id and image name where the system tells,
  // else 0 and empty), or reserved by the system (a bind is refused).
  enum class PortState { kFree, kHeld, kReserved };
  virtual PortState CheckLocalPort(uint16_t port, uint32_t* owner, std::wstring* owner_name) = 0;
  // The owner process ids of the TCP sockets listening on 127.0.0.1:|port|
  // now; an owner the system does not tell (Wine tells none) is 0, one that
  // is no process kNoProcessId. False when the table cannot be read.
  virtual bool LocalListeners(uint16_t port, std::vector<uint32_t>* owners) = 0;
  // Whether the machine has a network now: the system's own view where it
  // has one, else a default route through an interface that is up and not
  // a loopback. May ask a system service: a job's, never the platform
  // thread's.
  enum class Network { kUnknown, kNone, kUp };
  virtual Network NetworkNow() { return Network::kUnknown; }
};

// Keeps the system proxy from outliving this process: armed before the proxy
// is switched on, released after every clean switch-off. If the process ends
// in between without releasing it (killed, crashed), the guard switches our
// proxy off from outside.
class ProxyGuardPort {
 public:
  virtual ~ProxyGuardPort() = default;
  // Starts the guard unless one watches. May wait for it to start, so it is
  // called from a job, never on the platform thread.
  virtual void Arm() = 0;
  // Starts it again (someone ended it) off the calling thread, which does
  // not wait; a Release that comes later wins.
  virtual void Rearm() = 0;
  // The guard exits touching nothing. Any thread, at once. The logon reset
  // goes too, unless |keep_logon_reset| (our values may come back: another
  // program that took the proxy over may restore what it saved).
  virtual void Release(bool keep_logon_reset = false) = 0;
  // Whether an armed guard has ended and none was started since: the proxy
  // must not go on so. (A guard that could never be started is not lost:
  // that was said when it failed.) Any thread, at once.
  virtual bool Lost() { return false; }
  // Whether a guard watches now (false after a start that failed, too).
  // Any thread, at once.
  virtual bool Watching() { return true; }
};

struct CoreJob;
class LogPort;

// Runs a job's slow steps off the platform thread (RunCoreJob), then wakes
// the platform thread, which calls TunnelBridge::JobFinished. While a job
// runs, only it uses the internet port and the system port's pauses and
// writes; the bridge meanwhile reads the clock, looks whether files exist
// ("prepare") and, while a check runs, whether its core still does.
class WorkerPort {
 public:
  virtual ~WorkerPort() = default;
  virtual void Start(std::shared_ptr<CoreJob> job) = 0;
  // |ms| from now the platform thread calls TunnelBridge::RetryProxyOff; a
  // later request replaces an earlier one.
  virtual void RetryAfter(uint32_t ms) = 0;
  // Runs |loop|, the proxy owner's, on a thread of its own that keeps the
  // ports alive; false when there is none (the owner then runs on the
  // platform thread).
  virtual bool StartOwner(std::function<void()> /*loop*/) { return false; }
  // From the owner's thread: the platform thread is to call
  // TunnelBridge::OwnerAnswered.
  virtual void OwnerAnswered() {}
};

// The set of ports the bridge works through; none is owned here.
struct OsPorts {
  ProxySettingsPort* proxy_settings;
  InternetPort* internet;
  ProcessPort* processes;
  SystemPort* system;
  ProxyGuardPort* guard = nullptr;  // none: nothing guards the proxy
  WorkerPort* worker = nullptr;     // none: jobs run on the calling thread
  LogPort* log = nullptr;           // none: nothing is logged
};

// Writes |text| to |ports|' log, if it has one; never throws.
void WriteLog(const OsPorts& ports, const std::string& text);
void WriteLog(LogPort* log, const std::string& text) noexcept;

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_OS_PORTS_H_
