// Process entry: console, COM, the host window and the message loop.
#include <windows.h>

#include <io.h>
#include <objbase.h>

#include <cstdio>
#include <iostream>

#include "shell/command_line_arguments.h"
#include "shell/engine_project.h"
#include "shell/flutter_window.h"
#include "shell/flutter_windows.h"
#include "shell/single_instance.h"

namespace {

// The window whose tunnel a crash must not leave on, while the loop runs.
FlutterWindow* g_window = nullptr;

// Last chance before the process dies of an unhandled exception: the proxy
// goes off and the core is terminated, then the crash takes its course.
LONG WINAPI StopTunnelOnCrash(EXCEPTION_POINTERS*) {
  FlutterWindow* window = g_window;
  g_window = nullptr;  // once, even if the teardown itself faults
  if (window != nullptr) window->StopTunnel();
  return EXCEPTION_CONTINUE_SEARCH;
}

// Gives diagnostics somewhere to go when debugging without a console.
void OpenDebugConsole() {
  if (!AllocConsole()) return;
  FILE* unused = nullptr;
  if (freopen_s(&unused, "CONOUT$", "w", stdout) != 0) _dup2(_fileno(stdout), 1);
  if (freopen_s(&unused, "CONOUT$", "w", stderr) != 0) _dup2(_fileno(stdout), 2);
  std::ios::sync_with_stdio(true);
  FlutterDesktopResyncOutputStreams();
}

}  // namespace

int APIENTRY wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && IsDebuggerPresent()) OpenDebugConsole();
  // Before the window: its creation switches the proxy off, which would cut
  // the running instance's tunnel while it still answers "connected".
  const SingleInstanceLock instance;
  if (!instance.IsFirst()) {
    ActivateRunningInstance();
    return 0;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  EngineProject project(L"data");
  project.entrypointArguments = CommandLineArguments();

  FlutterWindow window(project);
  if (!window.Create(L"tessarin", WindowPoint{10, 10}, WindowSize{430, 860})) return 1;
  window.SetQuitWhenClosed(true);
  g_window = &window;
  SetUnhandledExceptionFilter(StopTunnelOnCrash);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  g_window = nullptr;
  CoUninitialize();
  return 0;
}
