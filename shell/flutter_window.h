// The program's main window: hosts the Flutter view and owns the tunnel
// bridge, which lives and dies with the native window.
#ifndef TESSARIN_SHELL_FLUTTER_WINDOW_H_
#define TESSARIN_SHELL_FLUTTER_WINDOW_H_

#include <memory>

#include "shell/engine_project.h"
#include "shell/flutter_view_controller.h"
#include "shell/win32_window.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/tunnel_bridge.h"
#include "tunnel/win32/network_watch.h"
#include "tunnel/win32/resume_watch.h"
#include "tunnel/win32/win32_os_ports.h"
#include "tunnel/win32/win32_proxy_guard.h"

// This process's diagnostics log: made at the first use and never freed, so
// that any thread may write to it until the process ends.
tessarin::DiagnosticsLog& HostLog();

class FlutterWindow : public Win32Window {
 public:
  explicit FlutterWindow(const EngineProject& project);
  ~FlutterWindow() override;

  // For tests: the bridge the window owns.
  const tessarin::TunnelBridge& Bridge() const { return bridge_; }

  // Proxy off and core terminated, as when the window closes; for a session
  // end (|why|), which may never destroy the window. A connect under way is
  // cancelled.
  // The engine still lives (a session's end): dropped calls are answered.
  void TeardownTunnel(const char* why) { bridge_.Teardown(why, true); }
  // After the message loop, once the connections' thread is done or waited for.
  void ProgramEnds() { bridge_.ProgramEnds(); }

 protected:
  bool OnWindowCreated() override;
  void OnWindowDestroying() override;
  LRESULT HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  // The bridge reaches the system only through these. Shared with the
  // worker's jobs, which may outlive the window.
  struct TunnelPorts {
    tessarin::Win32ProxySettingsPort proxySettings;
    tessarin::Win32InternetPort internet;
    tessarin::Win32ProcessPort processes;
    tessarin::Win32SystemPort system;
    tessarin::Win32ProxyGuard guard{&system};
    tessarin::OsPorts Ports() {
      tessarin::OsPorts ports{&proxySettings, &internet, &processes, &system, &guard};
      ports.log = &HostLog();
      return ports;
    }
  };
  std::shared_ptr<TunnelPorts> ports_;
  tessarin::Win32Worker worker_;

  EngineProject project_;
  std::unique_ptr<flutter::FlutterViewController> flutterController_;
  tessarin::TunnelBridge bridge_;
  tessarin::NetworkWatch networkWatch_;
  tessarin::ResumeWatch resumeWatch_;
  // When the last resume was told: the window's notice and the system's
  // callback for one wake make one check.
  ULONGLONG lastResume_ = 0;
};

#endif  // TESSARIN_SHELL_FLUTTER_WINDOW_H_
