#include "shell/flutter_window.h"

#include <string>

#include "channel/diagnostics.h"
#include "shell/resources/version.h"
#include "tunnel/win32/message_loop_waits.h"
#include "tunnel/win32/win32_diagnostics.h"

namespace {
// Posted from a thread-pool wait when a core process ends; wparam: its id.
constexpr UINT kCoreExitedMessage = WM_APP + 0x54;
// Posted by the worker when a job is done.
constexpr UINT kJobFinishedMessage = WM_APP + 0x55;
// Posted from a thread-pool wait when the guard's process ends.
constexpr UINT kGuardExitedMessage = WM_APP + 0x56;
// Posted from a thread-pool wait when the per-user proxy values change.
constexpr UINT kProxySettingsChangedMessage = WM_APP + 0x57;
// Posted by the dial-up thread when a switch-off's part for the
// connections worked: the switch-off is looked at again.
constexpr UINT kConnectionsSwitchedMessage = WM_APP + 0x58;
// Posted when the network the machine uses may have changed.
constexpr UINT kNetworkChangedMessage = WM_APP + 0x59;
// The system's suspend and resume notification: the machine resumed.
constexpr UINT kResumedMessage = WM_APP + 0x5A;
// Posted by the proxy owner's thread when it has answers.
constexpr UINT kOwnerAnsweredMessage = WM_APP + 0x5B;
// Two notices of a resume this close together are of one wake.
constexpr ULONGLONG kOneWakeMs = 2000;
// The timer of a switch-off that is to be tried again.
constexpr UINT_PTR kProxyOffRetryTimer = 0x54;
constexpr UINT_PTR kModalLoopTimer = 0x55;
constexpr UINT kModalLoopPollMs = 200;
// At a session's end, how long the queued log lines are waited for.
constexpr uint32_t kSessionEndLogWaitMs = 1000;

tessarin::OsPorts WithWorker(tessarin::OsPorts ports, tessarin::WorkerPort* worker) {
  ports.worker = worker;
  return ports;
}
}  // namespace

tessarin::DiagnosticsLog& HostLog() {
  static tessarin::DiagnosticsLog* log = [] {
    tessarin::LogLockHandle();  // before the first append, which holds it
    tessarin::DiagnosticsLog* opened = tessarin::OpenDiagnosticsLog().release();
    // The window's thread logs every reply: it only queues.
    opened->WriteInBackground();
    return opened;
  }();
  return *log;
}

FlutterWindow::FlutterWindow(const EngineProject& project)
    : ports_(std::make_shared<TunnelPorts>()),
      worker_(ports_, ports_->Ports()),
      project_(project),
      bridge_(WithWorker(ports_->Ports(), &worker_)) {
  // For side-by-side measurements only: the start check as older builds had it.
  wchar_t fixed[2];
  if (GetEnvironmentVariableW(L"TESSARIN_FIXED_START_WAIT", fixed, 2) == 1) {
    bridge_.UseFixedStartWait(fixed[0] == L'1');
  }
}

FlutterWindow::~FlutterWindow() = default;

bool FlutterWindow::OnWindowCreated() {
  if (!Win32Window::OnWindowCreated()) return false;
  HostLog().Write(std::string("tessarin ") + TESSARIN_VERSION_TEXT + " started on Windows " +
                  tessarin::WindowsVersion());
  // The channel layer's fixed lines go to the log as well as to stderr.
  flutter::DiagnosticsSink().store([](const char* first, const char* second) noexcept {
    try {
      HostLog().Write(std::string(first) + second);
    } catch (...) {  // no memory for the line: stderr has it
    }
  });
  ports_->processes.CaptureOutput(&HostLog());
  // A core that dies is noticed at once, not at the next "status".
  ports_->processes.NotifyExits(NativeHandle(), kCoreExitedMessage);
  worker_.NotifyDone(NativeHandle(), kJobFinishedMessage, kOwnerAnsweredMessage,
                     kProxyOffRetryTimer);
  ports_->guard.NotifyExit(
      [](void* window) { PostMessageW(static_cast<HWND>(window), kGuardExitedMessage, 0, 0); },
      NativeHandle());
  ports_->guard.KeepAliveWith(ports_);
  ports_->proxySettings.NotifyChanges(
      [](void* window) {
        PostMessageW(static_cast<HWND>(window), kProxySettingsChangedMessage, 0, 0);
      },
      NativeHandle());
  ports_->guard.ReportTo(&HostLog());
  // The window's thread never lists connections nor writes their proxies
  // itself: that may wait on a service.
  ports_->proxySettings.SwitchConnectionsInBackground(
      [](void* window) {
        PostMessageW(static_cast<HWND>(window), kConnectionsSwitchedMessage, 0, 0);
      },
      NativeHandle());
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
  // Hidden first: a start that finds a hidden window waits for this
  // instance to end instead of handing over to a window that is going away.
  if (NativeHandle() != nullptr) ShowWindow(NativeHandle(), SW_HIDE);
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
  if (message == kCoreExitedMessage) {
    bridge_.CoreExited(static_cast<uint32_t>(wparam));
    return 0;
  }
  if (message == kJobFinishedMessage || message == kOwnerAnsweredMessage) {
    if (message == kJobFinishedMessage) {
      bridge_.JobFinished();
    } else {
      bridge_.OwnerAnswered();
    }
    // Watched from the first tunnel on (the IP helper is loaded then).
    if (bridge_.active()) {
      networkWatch_.Start(window, kNetworkChangedMessage);
      resumeWatch_.Start(window, kResumedMessage);
    }
    return 0;
  }
  if (message == kNetworkChangedMessage) {
    networkWatch_.Taken();
    bridge_.WorldChanged("the network changed");
    return 0;
  }
  // The tunnel's path may be gone after a sleep (the engine sees it too).
  if ((message == WM_POWERBROADCAST && wparam == PBT_APMRESUMEAUTOMATIC) ||
      message == kResumedMessage) {
    const ULONGLONG now = GetTickCount64();
    if (lastResume_ == 0 || now - lastResume_ >= kOneWakeMs) {
      lastResume_ = now;
      bridge_.WorldChanged("the machine resumed", true);
    }
    if (message == kResumedMessage) return 0;
  }
  if (message == kGuardExitedMessage) {
    bridge_.GuardExited();
    return 0;
  }
  if (message == kProxySettingsChangedMessage) {
    bridge_.ProxySettingsChanged();
    return 0;
  }
  // The system's own loops (a drag, a menu) never wait on the message
  // loop's handles: looked at meanwhile, so that no notice waits for them.
  if (message == WM_ENTERSIZEMOVE || message == WM_ENTERMENULOOP) {
    SetTimer(window, kModalLoopTimer, kModalLoopPollMs, nullptr);
  } else if (message == WM_EXITSIZEMOVE || message == WM_EXITMENULOOP) {
    KillTimer(window, kModalLoopTimer);
  } else if (message == WM_TIMER && wparam == kModalLoopTimer) {
    tessarin::PollMessageLoopWaits();
    return 0;
  }
  if (message == WM_TIMER && wparam == kProxyOffRetryTimer) {
    KillTimer(window, kProxyOffRetryTimer);  // each retry asks for its own next time
    bridge_.RetryProxyOff();
    return 0;
  }
  if (message == kConnectionsSwitchedMessage) {
    bridge_.RetryProxyOff();
    return 0;
  }
  // Shutdown and sign-out may end the process after this message without
  // ever destroying the window: the tunnel stops here, before returning.
  if (message == WM_ENDSESSION && wparam) {
    TeardownTunnel((lparam & ENDSESSION_CLOSEAPP) ? "Restart Manager closes the program"
                                                  : "the session ends");
    // The system may end the process the moment this returns: the lines
    // that say why the tunnel stopped are written first, for a moment at
    // most (the program's end waits for them the same way).
    if (!(lparam & ENDSESSION_CLOSEAPP)) HostLog().Flush(kSessionEndLogWaitMs);
    // Restart Manager (an installer or an update) expects the program to go.
    if (lparam & ENDSESSION_CLOSEAPP) PostMessageW(window, WM_CLOSE, 0, 0);
  }
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
