// The program's main window: hosts the Flutter view and owns the tunnel
// bridge, which lives and dies with the native window.
#ifndef TESSARIN_SHELL_FLUTTER_WINDOW_H_
#define TESSARIN_SHELL_FLUTTER_WINDOW_H_

#include <memory>

#include "shell/engine_project.h"
#include "shell/flutter_view_controller.h"
#include "shell/win32_window.h"
#include "tunnel/tunnel_bridge.h"
#include "tunnel/win32/win32_os_ports.h"
#include "tunnel/win32/win32_proxy_guard.h"

class FlutterWindow : public Win32Window {
 public:
  explicit FlutterWindow(const EngineProject& project);
  ~FlutterWindow() override;

  // For tests: the bridge the window owns.
  const tessarin::TunnelBridge& Bridge() const { return bridge_; }

  // Proxy off and core terminated, as when the window closes; for a session
  // end, which may never destroy the window.
  void StopTunnel() { bridge_.Teardown(); }

 protected:
  bool OnWindowCreated() override;
  void OnWindowDestroying() override;
  LRESULT HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  // The bridge reaches the system only through these.
  tessarin::Win32ProxySettingsPort proxySettings_;
  tessarin::Win32InternetPort internet_;
  tessarin::Win32ProcessPort processes_;
  tessarin::Win32SystemPort system_;
  tessarin::Win32ProxyGuard guard_{&system_};

  EngineProject project_;
  std::unique_ptr<flutter::FlutterViewController> flutterController_;
  tessarin::TunnelBridge bridge_;
};

#endif  // TESSARIN_SHELL_FLUTTER_WINDOW_H_
