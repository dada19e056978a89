// The Win32 side of the tunnel's OS ports: a few lines per call.
#ifndef TESSARIN_TUNNEL_WIN32_WIN32_OS_PORTS_H_
#define TESSARIN_TUNNEL_WIN32_WIN32_OS_PORTS_H_

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32_handles.h"
#include "tunnel/core_job.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/os_ports.h"
#include "tunnel/win32/win32_proxy_settings.h"

namespace tessarin {

class Win32InternetPort : public InternetPort {
 public:
  uint32_t LastError() override { return ::GetLastError(); }
  std::unique_ptr<InternetSession> OpenSession(const std::string& agent,
                                               const std::string& proxy) override;
  void Warm(const std::string& agent, const std::string& proxy) override;
};

// Keeps the handle of every process it launched until that process is
// terminated, so a recycled process id can never make it query or kill
// another program; and puts each one in a kill-on-close job, so the cores go
// down with this process however it ends. A job's thread and the window's
// thread both use it (the window's only to look or, at a close, to end a
// core the job kept): its table is behind a lock, and no wait is taken
// while the lock is held.
class Win32ProcessPort : public ProcessPort {
 public:
  uint32_t Launch(const std::wstring& command_line, const std::wstring& directory) override;
  bool IsRunning(uint32_t process_id) override;
  void Terminate(uint32_t process_id, uint32_t wait_ms) override;
  bool ExitCode(uint32_t process_id, uint32_t* code) override;

  // From now on each core's standard output and error go, line by line, to
  // |log|'s core file, copied by a thread of their own; |log| must outlive
  // every core. None: the core's output goes nowhere.
  void CaptureOutput(DiagnosticsLog* log) {
    std::lock_guard<std::mutex> hold(lock_);
    output_ = log;
  }

  // From now on, when a launched process ends by itself or otherwise,
  // |message| is posted to |window| with the process id as wparam. The
  // notice comes from a thread-pool wait; the window's thread acts on it.
  void NotifyExits(HWND window, UINT message);

 private:
  // A registered wait on one process handle; unregistered (waiting for a
  // running callback) before the handle it watches is closed.
  struct ExitWatch {
    HWND window = nullptr;
    UINT message = 0;
    DWORD process_id = 0;
    HANDLE wait = nullptr;
    ~ExitWatch();
  };
  struct Launched {
    unique_handle process;
    std::unique_ptr<ExitWatch> watch;  // destroyed first: declared last
  };
  static void CALLBACK OnProcessExited(void* context, BOOLEAN timed_out) noexcept;
  void ForgetExited();

  std::mutex lock_;  // guards everything below
  HWND notify_window_ = nullptr;
  UINT notify_message_ = 0;
  DiagnosticsLog* output_ = nullptr;
  unique_handle job_;
  std::map<uint32_t, Launched> launched_;
};

class Win32SystemPort : public SystemPort {
 public:
  size_t ModuleFileName(wchar_t* buffer, size_t size) override;
  bool PathExists(const std::wstring& path) override;
  bool WriteWholeFile(const std::wstring& path, const std::string& bytes) override;
  uint64_t UnixTimeTicks() override;
  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
  // Time that stops while the machine sleeps: a budget or a back-off is not
  // spent by a sleep, and a job under way at a resume goes on from there.
  uint64_t SteadyMs() override {
    ULONGLONG units = 0;  // of 100 ns
    ::QueryUnbiasedInterruptTime(&units);
    return units / 10000;
  }
  uint64_t TicksMs() override { return ::GetTickCount64(); }
  Network NetworkNow() override;
  bool LocalListeners(uint16_t port, std::vector<uint32_t>* owners) override;
  PortState CheckLocalPort(uint16_t port, uint32_t* owner, std::wstring* owner_name) override;
};

// Runs each job on a thread of its own and posts |message| to |window| when
// it is done; the window's thread then calls TunnelBridge::JobFinished. The
// job keeps |ports_owner| alive, so a job still running when the window goes
// never touches a freed port; so does the proxy owner's thread, whose
// answers post |owner_message| (TunnelBridge::OwnerAnswered). A retry is the
// window's timer |retry_timer|.
class Win32Worker : public WorkerPort {
 public:
  Win32Worker(std::shared_ptr<const void> ports_owner, OsPorts ports)
      : ports_owner_(std::move(ports_owner)), ports_(ports) {}
  void NotifyDone(HWND window, UINT message, UINT owner_message, UINT_PTR retry_timer) {
    window_ = window;
    message_ = message;
    owner_message_ = owner_message;
    retry_timer_ = retry_timer;
  }
  void Start(std::shared_ptr<CoreJob> job) override;
  void RetryAfter(uint32_t ms) override;
  bool StartOwner(std::function<void()> loop) override;
  void OwnerAnswered() override { ::PostMessageW(window_, owner_message_, 0, 0); }

 private:
  std::shared_ptr<const void> ports_owner_;
  OsPorts ports_;
  HWND window_ = nullptr;
  UINT message_ = 0;
  UINT owner_message_ = 0;
  UINT_PTR retry_timer_ = 0;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_WIN32_OS_PORTS_H_
