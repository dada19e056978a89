#include "tunnel/win32/library_aborts.h"

#include <windows.h>

#include <process.h>

#include <atomic>
#include <csignal>

#include "tunnel/abort_ends_thread.h"
#include "tunnel/win32/win32_proxy_guard.h"

namespace tessarin {

namespace {

using Handler = void(__cdecl*)(int);
using SetHandler = Handler(__cdecl*)(int, Handler);

std::atomic<SetHandler> g_set_handler{nullptr};

void __cdecl OnLibraryAbort(int) {
  // The runtime puts its default back before each call: ours again first,
  // for the next abort (one in the instant between ends the process).
  if (const SetHandler set = g_set_handler.load()) set(SIGABRT, &OnLibraryAbort);
  // The thread agreed: it ends here, inside the library's frames. Wine's
  // WinINet aborts after it closed the socket and before the next one, with
  // no lock of its own held; what the call held stays allocated.
  if (AbortEndsThread::SayLastWord()) _endthreadex(0);
  // Then the runtime ends the process, as an abort of ours would.
  SignalProxyGuardCrash(nullptr);
}

}  // namespace

void CatchLibraryAborts() {
  if (g_set_handler.load() != nullptr) return;
  const HMODULE runtime = ::GetModuleHandleW(L"ucrtbase.dll");
  if (runtime == nullptr) return;
  const auto set =
      reinterpret_cast<SetHandler>(reinterpret_cast<void*>(::GetProcAddress(runtime, "signal")));
  if (set == nullptr) return;
  SetHandler expected = nullptr;
  if (g_set_handler.compare_exchange_strong(expected, set)) set(SIGABRT, &OnLibraryAbort);
}

}  // namespace tessarin
