// Process entry: console, COM, the host window and the message loop.
#include <windows.h>

#include <io.h>
#include <objbase.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "engine_api/flutter_windows.h"
#include "shell/command_line_arguments.h"
#include "shell/engine_project.h"
#include "shell/flutter_window.h"
#include "shell/single_instance.h"
#include "tunnel/win32/guard_crash_dump.h"
#include "tunnel/win32/message_loop_waits.h"
#include "tunnel/win32/win32_proxy_guard.h"
#include "tunnel/win32/win32_proxy_settings.h"

namespace {

// The filter that was there before ours, if any, still has its say.
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;

// A crashing process may hold the heap's lock or any other: cleaning up in
// it could hang, and what it writes cannot be trusted. The armed guard is
// told instead: it switches the proxy off and writes a minidump of this
// process from outside; with no guard, a thread of ours made ready at the
// start writes it (this thread waits for the dump, a bounded time). The
// crash then takes its course (and the core dies with the process's job).
LONG WINAPI SignalGuardOnCrash(EXCEPTION_POINTERS* exception) noexcept {
  tessarin::SignalProxyGuardCrash(exception);
  return g_previous_filter != nullptr ? g_previous_filter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// abort() and std::terminate: the runtime may show a box before the process
// ends; the guard need not wait for it. Its dump names this thread, where it
// signalled, as a fatal exit.
void SignalGuardOnAbort(int) noexcept { tessarin::SignalProxyGuardCrash(nullptr); }

// How long a start waits for an instance that is still ending.
constexpr DWORD kPreviousInstanceWaitMs = 10000;

// Gives diagnostics somewhere to go when debugging without a console.
void OpenDebugConsole() {
  if (!AllocConsole()) return;
  FILE* unused = nullptr;
  if (freopen_s(&unused, "CONOUT$", "w", stdout) != 0) _dup2(_fileno(stdout), 1);
  if (freopen_s(&unused, "CONOUT$", "w", stderr) != 0) _dup2(_fileno(stdout), 2);
  FlutterDesktopResyncOutputStreams();
}

// How long the end waits for the connections' own thread.
constexpr uint32_t kConnectionsWaitMs = 2000;

// The log's queued lines are written before the process ends, on every
// return (the window is gone by then: waiting a moment is allowed).
struct WriteQueuedLinesAtExit {
  ~WriteQueuedLinesAtExit() { HostLog().Flush(kLastLinesWaitMs); }
  static constexpr uint32_t kLastLinesWaitMs = 5000;
};

// Until WM_QUIT: messages first, all of them (a handle signalled again and
// again never starves the window), then a wait for the next message or
// handle.
void RunMessageLoop() {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    const DWORD count = tessarin::MessageLoopHandles(handles);
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(count, handles, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke < WAIT_OBJECT_0 + count) {
      tessarin::WakeMessageLoopWait(woke - WAIT_OBJECT_0);
    } else if (woke == WAIT_FAILED) {
      // (None should: each is let go of before it is closed.)
      const DWORD error = GetLastError();
      const size_t dropped = tessarin::DropFailedMessageLoopWaits();
      HostLog().Write("the message loop's wait failed: error " + std::to_string(error) + "; " +
                      std::to_string(dropped) + " handle(s) no longer waited on");
      if (dropped == 0) WaitMessage();
    }
  }
}

}  // namespace

int APIENTRY wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  // Libraries loaded on demand, and what they load in turn, come from the
  // system directory or ours, never from the default search order.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  // Held until the last lines are written: an old run's guard whose pass
  // comes at this process's end tells a new start by it.
  SingleInstance instance;
  const WriteQueuedLinesAtExit last_lines;
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && IsDebuggerPresent()) OpenDebugConsole();
  // Before the window: its creation switches the proxy off, which would cut
  // the running instance's tunnel while it still answers "connected".
  switch (instance.Acquire(kPreviousInstanceWaitMs)) {
    case SingleInstance::Outcome::kOwned:
      break;
    case SingleInstance::Outcome::kHandedOver:
      return 0;
    case SingleInstance::Outcome::kGaveUp:
      // Nothing of the first instance's is touched; the user is told why
      // nothing opened, so that a click is never silently lost.
      HostLog().Write(
          "another tessarin was still ending after 10 s; this start gave up and said so");
      MessageBoxW(nullptr, L"tessarin is still closing. Please start it again in a moment.",
                  kWindowTitle, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
      return 1;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  EngineProject project(L"data");
  project.entrypointArguments = CommandLineArguments();

  FlutterWindow window(project);
  if (!window.Create(kWindowTitle, WindowPoint{10, 10}, WindowSize{430, 860})) {
    // Said, so that an exit code alone never has to explain it.
    const DWORD error = GetLastError();
    std::fprintf(stderr, "The window or its engine could not be made: error %lu.\n", error);
    std::fflush(stderr);
    HostLog().Write("the window or its engine could not be made: error " + std::to_string(error) +
                    "; tessarin ended");
    return 1;
  }
  window.SetQuitWhenClosed(true);
  instance.Publish(window.NativeHandle());
  // A crash while no guard watches is dumped from inside.
  tessarin::ReadyOwnCrashDumps();
  g_previous_filter = SetUnhandledExceptionFilter(SignalGuardOnCrash);
  signal(SIGABRT, SignalGuardOnAbort);

  RunMessageLoop();
  // The window is gone: the connections' proxies asked back at its close
  // are waited for a moment, so that they never depend on the guard alone.
  if (!tessarin::Win32ProxySettingsPort::FinishConnections(kConnectionsWaitMs)) {
    HostLog().Write("dial-up or VPN connections not given back yet at the end; the guard does it");
  }
  // A clean end releases the guard: a switch-off that waited for the
  // connections completes, or the guard stays for what is still ours.
  window.ProgramEnds();
  CoUninitialize();
  return 0;
}
