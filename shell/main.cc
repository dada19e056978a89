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

namespace {

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
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  EngineProject project(L"data");
  project.entrypointArguments = CommandLineArguments();

  FlutterWindow window(project);
  if (!window.Create(L"tessarin", WindowPoint{10, 10}, WindowSize{430, 860})) return 1;
  window.SetQuitWhenClosed(true);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  CoUninitialize();
  return 0;
}
