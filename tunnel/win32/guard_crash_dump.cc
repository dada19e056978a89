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

// The oldest go, so that at most kCrashDumpsKept remain; the names sort by time.
void KeepNewest(const std::wstring& directory) {
  std::vector<std::wstring> dumps;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((directory + L"\\tessarin-*.dmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    dumps.emplace_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(dumps.begin(), dumps.end());
  for (size_t i = 0; i + kCrashDumpsKept < dumps.size(); ++i) {
    ::DeleteFileW((directory + L"\\" + dumps[i]).c_str());
  }
}

}  // namespace

std::string WriteCrashDump(HANDLE host, HANDLE record) {
  const uint64_t began = ::GetTickCount64();
  // Heap-allocated: a context must be 16-byte aligned (new gives that here).
  auto crash = std::make_unique<CrashRecord>();
  if (const void* view = ::MapViewOfFile(record, FILE_MAP_READ, 0, 0, sizeof(CrashRecord))) {
    *crash = *static_cast<const CrashRecord*>(view);
    ::UnmapViewOfFile(view);
  }
  const std::wstring local = LocalAppData();
  if (local.empty()) return "no crash dump: LOCALAPPDATA is not a full path";
  const std::wstring directory = local + L"\\" + kCrashDirectory;
  ::CreateDirectoryW((local + L"\\tessarin").c_str(), nullptr);
  ::CreateDirectoryW(directory.c_str(), nullptr);
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  const DWORD process_id = ::GetProcessId(host);
  wchar_t name[96];
  std::swprintf(name, 96, L"tessarin-%04u%02u%02uT%02u%02u%02uZ-%lu.dmp", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond, process_id);
  const std::wstring path = directory + L"\\" + name;

  // From the system directory only, and only now: the guard stays small.
  const unique_hmodule dbghelp(
      ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!dbghelp) return Failed("dbghelp.dll could not be loaded");
  const auto write = reinterpret_cast<MiniDumpWriteDumpFn>(
      reinterpret_cast<void*>(::GetProcAddress(dbghelp.get(), "MiniDumpWriteDump")));
  if (write == nullptr) return Failed("MiniDumpWriteDump is missing");
  const unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failed("the file could not be made");
  // The exception and its context are the copies the crash left, here.
  EXCEPTION_POINTERS pointers = {&crash->exception, &crash->context};
  MINIDUMP_EXCEPTION_INFORMATION exception = {};
  exception.ThreadId = crash->threadId;
  exception.ExceptionPointers = &pointers;
  exception.ClientPointers = FALSE;
  // Opened again to read its memory (the inherited handle only waits): the
  // id cannot be reused meanwhile, the inherited handle keeps it taken.
  const unique_handle reader(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  const BOOL written = write(reader ? reader.get() : host, process_id, file.get(),
                             static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo),
                             crash->hasException ? &exception : nullptr, nullptr, nullptr);
  if (!written) {
    const std::string why = Failed("MiniDumpWriteDump failed");
    ::DeleteFileW(path.c_str());
    return why;
  }
  KeepNewest(directory);
  return "wrote the crash dump " + LogText(path) + " in " +
         std::to_string(::GetTickCount64() - began) + " ms";
}

}  // namespace tessarin
