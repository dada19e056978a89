#include "tunnel/win32/library_aborts.h"

#include <windows.h>

#include <process.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "tunnel/abort_ends_thread.h"
#include "tunnel/win32/win32_proxy_guard.h"

namespace tessarin {

namespace {

using Handler = void(__cdecl*)(int);
using SetHandler = Handler(__cdecl*)(int, Handler);
using Assert = void(__cdecl*)(const char*, const char*, unsigned);

std::atomic<SetHandler> g_set_handler{nullptr};
std::atomic<Assert> g_library_assert{nullptr};
std::atomic<bool> g_assert_redirected{false};

// The one assertion known to come from a broken handshake, with no lock of
// WinINet's held: the socket closed, the next one not yet made.
constexpr char kBrokenHandshake[] = "server->addr_len";

void __cdecl OnLibraryAbort(int) {
  // The runtime puts its default back before each call: ours again, for
  // the next abort.
  if (const SetHandler set = g_set_handler.load()) set(SIGABRT, &OnLibraryAbort);
  // Then the runtime ends the process, as an abort of ours would.
  SignalProxyGuardCrash(nullptr);
}

// WinINet's own assertion, before the runtime's: the known one on a thread
// that agreed ends that thread here, inside WinINet's frames (what the call
// held stays allocated); anything else takes the runtime's course.
void __cdecl OnWinInetAssert(const char* expression, const char* file, unsigned line) {
  if (expression != nullptr && std::strcmp(expression, kBrokenHandshake) == 0 &&
      AbortEndsThread::SayLastWord()) {
    _endthreadex(0);
  }
  if (const Assert library = g_library_assert.load()) library(expression, file, line);
}

// |module|'s import slot for |function| from |library|, or nullptr.
void** ImportSlot(HMODULE module, const char* library, const char* function) {
  auto* base = reinterpret_cast<uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (headers->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  const IMAGE_DATA_DIRECTORY& imports =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;
  for (auto* from = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       from->Name != 0; ++from) {
    if (_stricmp(reinterpret_cast<const char*>(base + from->Name), library) != 0) continue;
    if (from->OriginalFirstThunk == 0) return nullptr;  // names not kept
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + from->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + from->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* named = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
          base + static_cast<uintptr_t>(names->u1.AddressOfData));
      if (std::strcmp(reinterpret_cast<const char*>(named->Name), function) == 0) {
        return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
  }
  return nullptr;
}

// WinINet's calls to the runtime's assertion come to us first.
void RedirectWinInetAssert() {
  const HMODULE wininet = ::GetModuleHandleW(L"wininet.dll");
  if (wininet == nullptr || g_assert_redirected.exchange(true)) return;
  void** slot = ImportSlot(wininet, "ucrtbase.dll", "_assert");
  DWORD was = 0;
  if (slot == nullptr || !::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &was)) return;
  g_library_assert.store(reinterpret_cast<Assert>(*slot));
  // One aligned pointer: a thread calling through it sees either.
  *slot = reinterpret_cast<void*>(&OnWinInetAssert);
  ::VirtualProtect(slot, sizeof(*slot), was, &was);
}

}  // namespace

void CatchLibraryAborts() {
  if (g_set_handler.load() == nullptr) {
    if (const HMODULE runtime = ::GetModuleHandleW(L"ucrtbase.dll")) {
      const auto set = reinterpret_cast<SetHandler>(
          reinterpret_cast<void*>(::GetProcAddress(runtime, "signal")));
      SetHandler expected = nullptr;
      if (set != nullptr && g_set_handler.compare_exchange_strong(expected, set)) {
        set(SIGABRT, &OnLibraryAbort);
      }
    }
  }
  RedirectWinInetAssert();
}

}  // namespace tessarin
