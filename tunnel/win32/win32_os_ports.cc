#include "tunnel/win32/win32_os_ports.h"

#include <winsock2.h>
// After winsock2.h, which they need; ws2ipdef.h before the IP helper's
// header, which declares its routes and interfaces only after it.
#include <ws2ipdef.h>
// (Not sorted above it.)
#include <iphlpapi.h>
#include <share.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "channel/diagnostics.h"
#include "tunnel/start_thread.h"
#include "tunnel/win32/library_aborts.h"
#include "tunnel/win32/system_library.h"

namespace tessarin {

namespace {

// WinINet's functions, loaded at the first connect (see system_library.h).
template <typename Function>
Function WinInet(const char* name) {
  return SystemCall<Function>(SystemLibrary::kWinInet, name);
}
struct LoadedInternetTraits {
  static HINTERNET Invalid() { return nullptr; }
  static bool IsValid(HINTERNET h) { return h != nullptr; }
  static void Close(HINTERNET h) {
    const auto close = WinInet<decltype(&::InternetCloseHandle)>("InternetCloseHandle");
    if (close != nullptr) close(h);
  }
};
using unique_hinternet = UniqueHandle<HINTERNET, LoadedInternetTraits>;

HINTERNET OpenInternet(const std::string& agent, const std::string& proxy) {
  const auto open = WinInet<decltype(&::InternetOpenA)>("InternetOpenA");
  if (open == nullptr) return nullptr;
  // WinINet brought its runtime, through which it may abort an attempt.
  CatchLibraryAborts();
  return open(agent.c_str(), INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), nullptr, 0);
}

class Win32InternetRequest : public InternetRequest {
 public:
  explicit Win32InternetRequest(HINTERNET handle) : handle_(handle) {}
  bool Read(uint8_t* buffer, uint32_t size, uint32_t* bytes_read) override {
    const auto read_file = WinInet<decltype(&::InternetReadFile)>("InternetReadFile");
    DWORD read = 0;
    const BOOL ok = read_file != nullptr && read_file(handle_.get(), buffer, size, &read);
    *bytes_read = read;
    return ok != FALSE;
  }

 private:
  unique_hinternet handle_;
};

class Win32InternetSession : public InternetSession {
 public:
  explicit Win32InternetSession(HINTERNET handle) : handle_(handle) {}
  bool SetOption(uint32_t option, uint32_t value) override {
    const auto set = WinInet<decltype(&::InternetSetOptionW)>("InternetSetOptionW");
    DWORD data = value;
    return set != nullptr && set(handle_.get(), option, &data, sizeof(data)) != FALSE;
  }
  std::unique_ptr<InternetRequest> OpenUrl(const std::string& url, uint32_t flags) override {
    const auto open_url = WinInet<decltype(&::InternetOpenUrlA)>("InternetOpenUrlA");
    HINTERNET request =
        open_url != nullptr ? open_url(handle_.get(), url.c_str(), nullptr, 0, flags, 0) : nullptr;
    if (request == nullptr) return nullptr;
    return std::make_unique<Win32InternetRequest>(request);
  }

 private:
  unique_hinternet handle_;
};

}  // namespace

std::unique_ptr<InternetSession> Win32InternetPort::OpenSession(const std::string& agent,
                                                                const std::string& proxy) {
  HINTERNET session = OpenInternet(agent, proxy);
  if (session == nullptr) return nullptr;
  return std::make_unique<Win32InternetSession>(session);
}

void Win32InternetPort::Warm(const std::string& agent, const std::string& proxy) {
  const unique_hinternet session(OpenInternet(agent, proxy));
  // Loaded here, from the system directory, not at the program's start (a
  // program that never connects never carries them), and kept: what they
  // set up (the roots read, the TLS library started) is what the probe
  // needs, and WinINet would keep them loaded after its first request anyway.
  static const HMODULE secur32 =
      ::LoadLibraryExW(L"secur32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  static const HMODULE crypt32 =
      ::LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  using Acquire = SECURITY_STATUS(SEC_ENTRY*)(LPWSTR, LPWSTR, unsigned long, void*, void*,
                                              SEC_GET_KEY_FN, void*, PCredHandle, PTimeStamp);
  using Free = SECURITY_STATUS(SEC_ENTRY*)(PCredHandle);
  using OpenStore = HCERTSTORE(WINAPI*)(HCRYPTPROV_LEGACY, LPCWSTR);
  using CloseStore = BOOL(WINAPI*)(HCERTSTORE, DWORD);
  auto function = [](HMODULE module, const char* name) {
    return module != nullptr ? reinterpret_cast<void*>(::GetProcAddress(module, name)) : nullptr;
  };
  const auto acquire = reinterpret_cast<Acquire>(function(secur32, "AcquireCredentialsHandleW"));
  const auto free = reinterpret_cast<Free>(function(secur32, "FreeCredentialsHandle"));
  // The TLS provider loads its library and starts at its first credentials.
  if (acquire != nullptr && free != nullptr) {
    SCHANNEL_CRED settings = {};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    CredHandle credentials;
    TimeStamp expiry;
    wchar_t provider[] = UNISP_NAME_W;
    if (acquire(nullptr, provider, SECPKG_CRED_OUTBOUND, nullptr, &settings, nullptr, nullptr,
                &credentials, &expiry) == SEC_E_OK) {
      free(&credentials);
    }
  }
  // The trusted roots the node's certificate is checked against, read once.
  const auto open = reinterpret_cast<OpenStore>(function(crypt32, "CertOpenSystemStoreW"));
  const auto close = reinterpret_cast<CloseStore>(function(crypt32, "CertCloseStore"));
  if (open != nullptr && close != nullptr) {
    if (const HCERTSTORE roots = open(0, L"ROOT")) close(roots, 0);
  }
}

namespace {

constexpr DWORD kCoreOutputPipeBytes = 1024 * 1024;

// Copies a core's output into the log as it comes, until the core (the
// pipe's last writer) is gone. What the pipe holds is gathered into one
// append, so a core that writes at full speed is drained as fast as the disk
// takes it.
void CopyOutput(unique_handle pipe, DiagnosticsLog* log) {
  auto drain = [log](HANDLE read) {
    CoreOutputWriter writer(log);
    std::vector<char> buffer(kCoreOutputPipeBytes);
    DWORD got = 0;
    while (::ReadFile(read, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
           got > 0) {
      DWORD waiting = 0;
      const bool more =
          ::PeekNamedPipe(read, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0;
      writer.Add(buffer.data(), got, more);
    }
    writer.End();
  };
  // A thread's entry: nothing escapes, and the pipe is closed however it ends
  // (a core still writing then fails its writes, it is not blocked).
  auto copy = [drain](HANDLE read) {
    flutter::RunAtBoundary("Exception copying the core's output: ", [&] { drain(read); });
    ::CloseHandle(read);
  };
  HANDLE read = pipe.release();
  bool started = false;
  flutter::RunAtBoundary("Exception starting the core's output copier: ", [&] {
    started = StartThread("Exception copying the core's output: ", [copy, read] { copy(read); });
  });
  if (!started) ::CloseHandle(read);  // no reader: the core then fails its writes, not blocks
}

}  // namespace

uint32_t Win32ProcessPort::Launch(const std::wstring& command_line, const std::wstring& directory) {
  std::lock_guard<std::mutex> hold(lock_);
  ForgetExited();
  if (!job_) {
    unique_handle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                         sizeof(limits))) {
      job_ = std::move(job);
    }
  }
  // The core's output: a pipe whose write end is the one handle it inherits.
  unique_handle output_read;
  unique_handle output_write;
  if (output_ != nullptr) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (::CreatePipe(&read, &write, &inheritable, kCoreOutputPipeBytes)) {
      output_read.reset(read);
      output_write.reset(write);
      ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    }
  }
  // Created inside the job where the system can, so that this process
  // ending at any moment, even while the core is being created, ends the
  // core too; else assigned to it while still suspended, below.
  PROCESS_INFORMATION info = {};
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  bool created = false;
  for (const bool in_job : {true, false}) {
    if (created) break;
    const InheritedHandleList attributes(
        output_write ? std::vector<HANDLE>{output_write.get()} : std::vector<HANDLE>{},
        in_job ? job_.get() : nullptr);
    if (in_job && !attributes.InJob()) continue;  // the system cannot: as before
    const bool with_output = attributes.Inherits();
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    if (with_output) {
      startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
      startup.StartupInfo.hStdOutput = output_write.get();
      startup.StartupInfo.hStdError = output_write.get();
    }
    startup.lpAttributeList = attributes.get();
    // Suspended until it is in the job and kept, so nothing it starts
    // escapes the job.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED |
                        (attributes.get() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
    created =
        ::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, with_output ? TRUE : FALSE,
                         flags, nullptr, directory.c_str(), &startup.StartupInfo, &info) != FALSE;
    if (created && !with_output) output_read.reset();  // nobody writes it
  }
  if (!created) return 0;
  output_write.reset();  // the core's copy is the only one: its end is the pipe's
  if (output_read) CopyOutput(std::move(output_read), output_);
  unique_handle thread(info.hThread);
  Launched launched;
  launched.process.reset(info.hProcess);
  // Without a job (none could be made, or nested jobs are refused) the core
  // still runs and the stop paths still end it; it may outlive a crashed host.
  BOOL in_job = FALSE;
  if (!job_ || !((::IsProcessInJob(launched.process.get(), job_.get(), &in_job) && in_job) ||
                 ::AssignProcessToJobObject(job_.get(), launched.process.get()))) {
    std::fprintf(stderr, "The core runs outside the job: error %lu.\n", ::GetLastError());
    std::fflush(stderr);
  }
  // Kept before it runs: a core nobody knows of would hold the port until
  // this process ends. Without the memory to keep it, it never runs.
  Launched* kept = nullptr;
  try {
    if (notify_window_ != nullptr) launched.watch = std::make_unique<ExitWatch>();
    kept = &(launched_[info.dwProcessId] = std::move(launched));
  } catch (...) {
    ::TerminateProcess(info.hProcess, 1);
    throw;
  }
  ::ResumeThread(thread.get());
  if (kept->watch) {
    kept->watch->window = notify_window_;
    kept->watch->message = notify_message_;
    kept->watch->process_id = info.dwProcessId;
    if (!::RegisterWaitForSingleObject(&kept->watch->wait, kept->process.get(),
                                       &Win32ProcessPort::OnProcessExited, kept->watch.get(),
                                       INFINITE, WT_EXECUTEONLYONCE)) {
      kept->watch->wait = nullptr;
    }
  }
  return info.dwProcessId;
}

void Win32ProcessPort::NotifyExits(HWND window, UINT message) {
  std::lock_guard<std::mutex> hold(lock_);
  notify_window_ = window;
  notify_message_ = message;
}

void CALLBACK Win32ProcessPort::OnProcessExited(void* context, BOOLEAN) noexcept {
  // A thread-pool thread: only post; the window's thread does the work.
  const ExitWatch* watch = static_cast<const ExitWatch*>(context);
  ::PostMessageW(watch->window, watch->message, watch->process_id, 0);
}

Win32ProcessPort::ExitWatch::~ExitWatch() {
  // Waits for a callback that is running, so |this| outlives it.
  if (wait != nullptr) ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
}

namespace {

// A process handle is signalled when the process ends, whatever its exit code;
// the code alone cannot tell a running process from one that exited with 259.
bool HandleIsRunning(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

}  // namespace

bool Win32ProcessPort::IsRunning(uint32_t process_id) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    const auto kept = launched_.find(process_id);
    if (kept != launched_.end()) return HandleIsRunning(kept->second.process.get());
  }
  // An id we hold no handle for: the exit code is all that can be asked.
  unique_handle opened(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!opened) return false;
  DWORD exit_code = 0;
  return ::GetExitCodeProcess(opened.get(), &exit_code) && exit_code == STILL_ACTIVE;
}

bool Win32ProcessPort::ExitCode(uint32_t process_id, uint32_t* code) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto kept = launched_.find(process_id);
  if (kept == launched_.end() || HandleIsRunning(kept->second.process.get())) return false;
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(kept->second.process.get(), &exit_code)) return false;
  *code = exit_code;
  return true;
}

void Win32ProcessPort::Terminate(uint32_t process_id, uint32_t wait_ms) {
  unique_handle process;
  std::unique_ptr<ExitWatch> watch;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const auto kept = launched_.find(process_id);
    if (kept != launched_.end()) {
      process = std::move(kept->second.process);
      watch = std::move(kept->second.watch);
      launched_.erase(kept);
    }
  }
  // The exit watch goes first, so no notice follows; outside the lock, as
  // its end waits for a callback that may be running.
  watch.reset();
  if (!process) {
    process.reset(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process_id));
  }
  if (!process) return;
  ::TerminateProcess(process.get(), 0);
  ::WaitForSingleObject(process.get(), wait_ms);
}

void Win32ProcessPort::ForgetExited() {
  for (auto it = launched_.begin(); it != launched_.end();) {
    if (!HandleIsRunning(it->second.process.get())) {
      it = launched_.erase(it);
    } else {
      ++it;
    }
  }
}

void Win32Worker::Start(std::shared_ptr<CoreJob> job) {
  job->keepAlive = ports_owner_;
  auto run = [job, ports = ports_, window = window_, message = message_] {
    RunCoreJob(*job, ports);
    // The window may be gone (closed meanwhile): then nobody is told.
    ::PostMessageW(window, message, 0, 0);
  };
  if (StartThread("Exception in a core job: ", run)) return;
  // No thread to be had: the job blocks the window, as calls once did; but
  // a wait for the network, which may last hours, fails at once instead.
  if (job->awaitNetwork) {
    job->outcome = CoreJob::Outcome::kFailed;
    job->finished.store(true, std::memory_order_release);
    ::PostMessageW(window_, message_, 0, 0);
    return;
  }
  run();
}

bool Win32Worker::StartOwner(std::function<void()> loop) {
  return StartThread("Exception in the proxy owner's thread: ",
                     [keep = ports_owner_, loop = std::move(loop)] { loop(); });
}

void Win32Worker::RetryAfter(uint32_t ms) {
  if (window_ != nullptr) ::SetTimer(window_, retry_timer_, ms, nullptr);
}

size_t Win32SystemPort::ModuleFileName(wchar_t* buffer, size_t size) {
  return ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(size));
}

bool Win32SystemPort::PathExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32SystemPort::WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  // Binary, truncating, and sharing read and write with other processes.
  FILE* file = ::_wfsopen(path.c_str(), L"wb", _SH_DENYNO);
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

namespace {

// The owners of the TCP listeners on |port| at 127.0.0.1 (and, with
// |any_address|, at 0.0.0.0); false when the table cannot be read. An owner
// is 0 where the system names none (Wine names none; Windows names every
// listener's, the system's own being 4 and up), else kNoProcessId for a 0.
bool Listeners(uint16_t port, bool any_address, std::vector<uint32_t>* owners) {
  owners->clear();
  const auto read_table =
      SystemCall<decltype(&::GetExtendedTcpTable)>(SystemLibrary::kIpHelper, "GetExtendedTcpTable");
  if (read_table == nullptr) return false;
  std::vector<uint8_t> table;
  DWORD size = 0;
  DWORD status = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the size query and the read: a few tries.
  for (int tries = 0; tries < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++tries) {
    table.resize(size > 0 ? size : sizeof(MIB_TCPTABLE_OWNER_PID));
    size = static_cast<DWORD>(table.size());
    status = read_table(table.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  }
  if (status != NO_ERROR) return false;
  const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
  bool owners_told = false;
  for (DWORD i = 0; i < rows->dwNumEntries; ++i) owners_told |= rows->table[i].dwOwningPid != 0;
  // Both in network byte order, as the table holds them.
  const uint8_t loopback[4] = {127, 0, 0, 1};
  const uint8_t port_bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = rows->table[i];
    if (std::memcmp(&row.dwLocalPort, port_bytes, 2) != 0) continue;
    const bool on_loopback = std::memcmp(&row.dwLocalAddr, loopback, 4) == 0;
    if (!on_loopback && !(any_address && row.dwLocalAddr == 0)) continue;
    owners->push_back(row.dwOwningPid == 0 && owners_told ? kNoProcessId : row.dwOwningPid);
  }
  return true;
}

// Winsock's functions for the port check, loaded at its first use.
template <typename Function>
Function WinSockCall(const char* name) {
  return SystemCall<Function>(SystemLibrary::kWinSock, name);
}
struct WinSock {
  decltype(&::socket) open = WinSockCall<decltype(&::socket)>("socket");
  decltype(&::bind) bind = WinSockCall<decltype(&::bind)>("bind");
  decltype(&::WSAGetLastError) error = WinSockCall<decltype(&::WSAGetLastError)>("WSAGetLastError");
  decltype(&::closesocket) close = WinSockCall<decltype(&::closesocket)>("closesocket");
  // Started once for the process (one that failed is tried again).
  bool Ready() const {
    static std::atomic<bool> started{false};
    if (open == nullptr || bind == nullptr || error == nullptr || close == nullptr) return false;
    if (started.load()) return true;
    const auto startup = WinSockCall<decltype(&::WSAStartup)>("WSAStartup");
    WSADATA data;
    if (startup == nullptr || startup(MAKEWORD(2, 2), &data) != 0) return false;
    started.store(true);
    return true;
  }
};

// A process's image file name without its directory, or empty.
std::wstring ImageName(DWORD process_id) {
  const unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return std::wstring();
  wchar_t path[MAX_PATH * 4];
  DWORD length = MAX_PATH * 4;
  if (!::QueryFullProcessImageNameW(process.get(), 0, path, &length)) return std::wstring();
  const std::wstring full(path, length);
  return full.substr(full.find_last_of(L"\\/") + 1);
}

// The system's own connectivity view (Windows 10 2004 and later), as
// iphlpapi exports it.
struct ConnectivityHint {
  int level;  // 0 unknown, 1 none, 2 local access, 3 internet, 4 constrained
  int cost;
  BOOLEAN approachingDataLimit;
  BOOLEAN overDataLimit;
  BOOLEAN roaming;
};
constexpr int kConnectivityUnknown = 0;
constexpr int kConnectivityNone = 1;

}  // namespace

SystemPort::Network Win32SystemPort::NetworkNow() {
  const auto hint = SystemCall<DWORD(WINAPI*)(ConnectivityHint*)>(SystemLibrary::kIpHelper,
                                                                  "GetNetworkConnectivityHint");
  ConnectivityHint view = {};
  if (hint != nullptr && hint(&view) == NO_ERROR && view.level != kConnectivityUnknown) {
    return view.level == kConnectivityNone ? Network::kNone : Network::kUp;
  }
  // Else: a default route through an interface that is up and not a
  // loopback (the core makes no interface of its own).
  const auto routes =
      SystemCall<decltype(&::GetIpForwardTable2)>(SystemLibrary::kIpHelper, "GetIpForwardTable2");
  const auto entry = SystemCall<decltype(&::GetIfEntry2)>(SystemLibrary::kIpHelper, "GetIfEntry2");
  const auto free_table =
      SystemCall<decltype(&::FreeMibTable)>(SystemLibrary::kIpHelper, "FreeMibTable");
  if (routes == nullptr || entry == nullptr || free_table == nullptr) return Network::kUnknown;
  MIB_IPFORWARD_TABLE2* table = nullptr;
  if (routes(AF_UNSPEC, &table) != NO_ERROR || table == nullptr) return Network::kUnknown;
  Network network = Network::kNone;
  for (ULONG i = 0; i < table->NumEntries && network == Network::kNone; ++i) {
    const MIB_IPFORWARD_ROW2& route = table->Table[i];
    if (route.DestinationPrefix.PrefixLength != 0) continue;
    MIB_IF_ROW2 link = {};
    link.InterfaceLuid = route.InterfaceLuid;
    if (entry(&link) == NO_ERROR && link.OperStatus == IfOperStatusUp &&
        link.Type != IF_TYPE_SOFTWARE_LOOPBACK) {
      network = Network::kUp;
    }
  }
  free_table(table);
  return network;
}

bool Win32SystemPort::LocalListeners(uint16_t port, std::vector<uint32_t>* owners) {
  // The core listens on 127.0.0.1 only: another address's listener is never it.
  return Listeners(port, false, owners);
}

SystemPort::PortState Win32SystemPort::CheckLocalPort(uint16_t port, uint32_t* owner,
                                                      std::wstring* owner_name) {
  *owner = 0;
  owner_name->clear();
  std::vector<uint32_t> owners;
  if (Listeners(port, true, &owners) && !owners.empty()) {
    *owner = owners.front() == kNoProcessId ? 0 : owners.front();
    if (*owner != 0) *owner_name = ImageName(*owner);
    return PortState::kHeld;
  }
  // No listener: whether a bind is allowed at all. Windows refuses one in a
  // range it reserves (Hyper-V, WSL) with access denied, and names no owner.
  const WinSock winsock;
  if (!winsock.Ready()) return PortState::kFree;
  const SOCKET probe = winsock.open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (probe == INVALID_SOCKET) return PortState::kFree;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  // Network byte order, by hand (htons is Winsock's too).
  const uint8_t port_bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  std::memcpy(&address.sin_port, port_bytes, 2);
  const uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(&address.sin_addr, loopback, 4);
  const bool bound =
      winsock.bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  const int error = bound ? 0 : winsock.error();
  winsock.close(probe);
  if (error == WSAEACCES) return PortState::kReserved;
  // In use without a listener (a connection lingering from a core just
  // ended, say): the core may still bind, as it always could.
  return PortState::kFree;
}

uint64_t Win32SystemPort::UnixTimeTicks() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const uint64_t since_1601 = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return since_1601 - 116444736000000000ULL;
}

}  // namespace tessarin
