#include "tunnel/win32/guard_crash_dump.h"

// After windows.h, which it needs.
#include <dbghelp.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <vector>

#include "platform/win32_handles.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/proxy_guard.h"
#include "tunnel/start_thread.h"
#include "tunnel/win32/win32_diagnostics.h"
#include "tunnel/win32/win32_proxy_guard.h"

namespace tessarin {

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

std::string Failed(const char* what) {
  return std::string("the crash dump could not be written: ") + what + ", error " +
         std::to_string(::GetLastError());
}

// A name the program gives its dumps: "tessarin-", yyyymmddThhmmssZ, "-",
// a process id, ".dmp".
bool DumpName(const wchar_t* name) {
  const wchar_t* at = name;
  auto digits = [&at](int least, int most) {
    int count = 0;
    while (count < most && *at >= L'0' && *at <= L'9') {
      ++at;
      ++count;
    }
    return count >= least;
  };
  auto word = [&at](const wchar_t* text) {
    const size_t length = std::wcslen(text);
    if (std::wcsncmp(at, text, length) != 0) return false;
    at += length;
    return true;
  };
  return word(L"tessarin-") && digits(8, 8) && word(L"T") && digits(6, 6) && word(L"Z-") &&
         digits(1, 10) && word(L".dmp") && *at == L'\0';
}

// The oldest go, so that at most kCrashDumpsKept remain with |written|
// (about to be written);
// the names sort by time. Only regular files named as dumps count, and
// |written| never goes: nothing planted can crowd a new dump out.
void KeepNewest(const std::wstring& directory, const wchar_t* written) {
  std::vector<std::wstring> dumps;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((directory + L"\\tessarin-*.dmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        DumpName(found.cFileName) && std::wcscmp(found.cFileName, written) != 0) {
      dumps.emplace_back(found.cFileName);
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(dumps.begin(), dumps.end());
  for (size_t i = 0; i + kCrashDumpsKept < dumps.size() + 1; ++i) {
    ::DeleteFileW((directory + L"\\" + dumps[i]).c_str());
  }
}

// dbghelp from the system directory, loaded once and kept.
HMODULE DumpLibrary() {
  static const HMODULE dbghelp =
      ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return dbghelp;
}
MiniDumpWriteDumpFn DumpWriter() {
  const HMODULE dbghelp = DumpLibrary();
  return dbghelp == nullptr ? nullptr
                            : reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void*>(
                                  ::GetProcAddress(dbghelp, "MiniDumpWriteDump")));
}

// dbghelp told of |process| without reading any module's symbols: a dump
// of a process it does not know makes it read them all first (measured
// under Wine: most of a dump's seconds).
void KnowWithoutSymbols(HANDLE process) {
  using InitializeFn = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
  const HMODULE dbghelp = DumpLibrary();
  const auto initialize = dbghelp == nullptr
                              ? nullptr
                              : reinterpret_cast<InitializeFn>(reinterpret_cast<void*>(
                                    ::GetProcAddress(dbghelp, "SymInitializeW")));
  if (initialize != nullptr) initialize(process, nullptr, FALSE);
}

}  // namespace

std::string WriteCrashDump(HANDLE host, HANDLE record) {
  // Heap-allocated: a context must be 16-byte aligned (new gives that here).
  auto crash = std::make_unique<CrashRecord>();
  if (const void* view = ::MapViewOfFile(record, FILE_MAP_READ, 0, 0, sizeof(CrashRecord))) {
    *crash = *static_cast<const CrashRecord*>(view);
    ::UnmapViewOfFile(view);
  }
  // Opened again to read its memory (the inherited handle only waits): the
  // id cannot be reused meanwhile, the inherited handle keeps it taken.
  const DWORD process_id = ::GetProcessId(host);
  const unique_handle reader(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  return WriteCrashDumpOf(reader ? reader.get() : host, process_id, *crash);
}

std::string WriteCrashDumpOf(HANDLE process, DWORD process_id, const CrashRecord& record) {
  const uint64_t began = ::GetTickCount64();
  auto crash = std::make_unique<CrashRecord>(record);
  // What the crashed process wrote is checked before dbghelp reads it.
  crash->exception.ExceptionRecord = nullptr;
  crash->exception.NumberParameters =
      std::min<DWORD>(crash->exception.NumberParameters, EXCEPTION_MAXIMUM_PARAMETERS);
  bool has_exception = crash->hasException == 1;
  if (has_exception) {
    const unique_handle thread(
        ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, crash->threadId));
    has_exception = thread && ::GetProcessIdOfThread(thread.get()) == process_id;
  }
  const std::wstring local = LocalAppData();
  if (local.empty()) return "no crash dump: LOCALAPPDATA is not a full path";
  const std::wstring directory = local + L"\\" + kCrashDirectory;
  // Our folders only, never a junction someone planted to send dumps and
  // their pruning elsewhere.
  NotALink(local + L"\\tessarin", true);
  ::CreateDirectoryW((local + L"\\tessarin").c_str(), nullptr);
  NotALink(directory, true);
  ::CreateDirectoryW(directory.c_str(), nullptr);
  // Named by the time; a second crash of one process within the same second
  // (it survived the first) takes the next free second, never its dump.
  FILETIME at;
  ::GetSystemTimeAsFileTime(&at);
  wchar_t name[96] = {};
  std::wstring path;
  for (int later = 0; later < 10; ++later) {
    ULARGE_INTEGER ticks;
    ticks.LowPart = at.dwLowDateTime;
    ticks.HighPart = at.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(later) * 10000000ULL;
    const FILETIME moment = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME now;
    ::FileTimeToSystemTime(&moment, &now);
    std::swprintf(name, 96, L"tessarin-%04u%02u%02uT%02u%02u%02uZ-%lu.dmp", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, process_id);
    path = directory + L"\\" + name;
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) break;
  }
  const MiniDumpWriteDumpFn write = DumpWriter();
  if (write == nullptr) return Failed("dbghelp.dll or its MiniDumpWriteDump could not be loaded");
  // Room first: a dump cut short when its process ends still leaves the
  // count kept.
  KeepNewest(directory, name);
  NotALink(path, false);
  KnowWithoutSymbols(process);  // once known (this process's own), a no-op
  const unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failed("the file could not be made");
  // The exception and its context are the copies the crash left, here.
  EXCEPTION_POINTERS pointers = {&crash->exception, &crash->context};
  MINIDUMP_EXCEPTION_INFORMATION exception = {};
  exception.ThreadId = crash->threadId;
  exception.ExceptionPointers = &pointers;
  exception.ClientPointers = FALSE;
  const BOOL written = write(process, process_id, file.get(),
                             static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo),
                             has_exception ? &exception : nullptr, nullptr, nullptr);
  if (!written) {
    const std::string why = Failed("MiniDumpWriteDump failed");
    ::DeleteFileW(path.c_str());
    return why;
  }
  return "wrote the crash dump " + LogText(path) + " in " +
         std::to_string(::GetTickCount64() - began) + " ms" +
         (crash->hasException == 1 && !has_exception ? " (its crashing thread was not named)" : "");
}

// How long after the start the dump writer is made ready.
constexpr DWORD kPrepareAfterStartMs = 2000;

bool ReadyOwnCrashDumps() {
  const CrashChannel* channel = GuardCrashChannel();
  if (channel->view == nullptr || channel->own_request == nullptr ||
      channel->own_written == nullptr) {
    return false;
  }
  if (channel->own_ready.load()) return true;
  channel->own_ready = StartThread("Exception writing a crash dump: ", [channel] {
    channel->own_thread = ::GetCurrentThreadId();
    // Loaded now, not in the crash; but a moment after the start, not beside
    // it, where a connect asked at once would wait for it (measured under
    // Wine: such a connect 13% slower). A crash before then loads it itself.
    bool requested =
        ::WaitForSingleObject(channel->own_request, kPrepareAfterStartMs) == WAIT_OBJECT_0;
    DumpWriter();
    KnowWithoutSymbols(::GetCurrentProcess());
    for (;;) {
      if (!requested) ::WaitForSingleObject(channel->own_request, INFINITE);
      requested = false;
      const std::string dumped =
          WriteCrashDumpOf(::GetCurrentProcess(), ::GetCurrentProcessId(), *channel->view);
      // Said before the crash goes on: the process ends soon after.
      OpenDiagnosticsLog()->Write("crash: " + dumped);
      ::SetEvent(channel->own_written);
    }
  });
  return channel->own_ready.load();
}

}  // namespace tessarin
