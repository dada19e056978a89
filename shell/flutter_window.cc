#include "shell/flutter_window.h"

FlutterWindow::FlutterWindow(const EngineProject& project)
    : project_(project),
      bridge_(tessarin::OsPorts{&proxySettings_, &internet_, &processes_, &system_}) {}

FlutterWindow::~FlutterWindow() = default;

bool FlutterWindow::OnWindowCreated() {
  if (!Win32Window::OnWindowCreated()) return false;
  // Before the engine exists, so the proxy is off even when the engine fails.
  bridge_.Initialize();
  const RECT frame = ClientArea();
  flutterController_ = std::make_unique<flutter::FlutterViewController>(
      frame.right - frame.left, frame.bottom - frame.top, project_);
  if (!flutterController_->Engine() || !flutterController_->View()) return false;
  bridge_.InstallChannel(flutterController_->Engine()->Messenger());
  AttachChild(flutterController_->View()->GetHWND());
  // Shown only once the engine has drawn something to show.
  flutterController_->Engine()->SetNextFrameCallback([this]() { Show(); });
  flutterController_->ForceRedraw();
  return true;
}

void FlutterWindow::OnWindowDestroying() {
  // The tunnel stops before the engine and the channel go away.
  bridge_.Teardown();
  if (flutterController_) {
    bridge_.ReleaseChannel();
    flutterController_ = nullptr;
  }
  Win32Window::OnWindowDestroying();
}

LRESULT FlutterWindow::HandleWindowMessage(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  // Answered before the engine sees it, so that shutdown is never blocked.
  if (message == WM_QUERYENDSESSION) return TRUE;
  // Shutdown and sign-out may end the process after this message without
  // ever destroying the window: the tunnel stops here, before returning.
  if (message == WM_ENDSESSION && wparam) StopTunnel();
  if (flutterController_) {
    if (const std::optional<LRESULT> result =
            flutterController_->HandleTopLevelWindowProc(window, message, wparam, lparam)) {
      return *result;
    }
  }
  if (message == WM_FONTCHANGE && flutterController_) {
    flutterController_->Engine()->ReloadSystemFonts();
  }
  return Win32Window::HandleWindowMessage(window, message, wparam, lparam);
}
